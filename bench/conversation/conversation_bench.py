#!/usr/bin/env python3
"""What a conversation minute costs the command-line tool, beside a peer.

Runs `orvanta-openai converse` for a full-duplex conversation of --seconds
(default 60) against an `orvanta-simulator` started separately by this script
(so that the simulator's own work is not counted), over ws:// and wss://, for
several rounds, and reports for the tool's process alone: CPU seconds (user +
system), voluntary context switches and maximum RSS, from the child's rusage.
The medians are printed per transport.

The conversation: the shipped speech sample, then silence, every 6 s, so the
simulator's voice detection ends a turn and it answers (2 s of voice in
100 ms deltas) while the input keeps streaming.

With --peer-modules (a folder holding the npm packages `openai` and `ws`;
default /tmp/nodepeer/node_modules when it exists) the same workload runs
through node_peer.cjs, the OpenAI Node SDK's realtime WebSocket client,
interleaved with the tool's runs, and the ratios tool / peer are printed.

    bench/conversation/conversation_bench.py [--build build/release]
        [--rounds 5] [--seconds 60] [--rate 24000] [--transports ws,wss]
        [--peer-modules DIR | --no-peer] [--tool-arg ARG ...]
        [--other NAME=BUILD_DIR ...] [--variant NAME=ARGS ...]

--other adds the tool of another build (an older commit, say) as one more
client, interleaved with the others; --variant adds this build's tool again
with more arguments (space-separated, "--chunk-ms 100" say).

--in-process runs the tool as a user does by default, with the simulator
started inside its own process (its work counted too); no peer then.
"""

import argparse
import array
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PERIOD_SECONDS = 6


def conversation_wav(path, seconds, rate):
    """The sample every PERIOD_SECONDS, silence between, 16-bit mono."""
    with wave.open(os.path.join(ROOT, "samples", "hello.wav")) as sample:
        if sample.getnchannels() != 1 or sample.getsampwidth() != 2:
            sys.exit("samples/hello.wav is not 16-bit mono")
        source_rate = sample.getframerate()
        speech = array.array("h", sample.readframes(sample.getnframes()))
    if source_rate != rate:  # linear interpolation is plenty for a bench
        out = array.array("h", bytes(2 * (len(speech) * rate // source_rate)))
        for i in range(len(out)):
            x = i * source_rate / rate
            j = int(x)
            a = speech[j]
            b = speech[j + 1] if j + 1 < len(speech) else a
            out[i] = round(a + (b - a) * (x - j))
        speech = out
    period = PERIOD_SECONDS * rate
    if len(speech) >= period:
        sys.exit("the sample is longer than a turn")
    total = array.array("h", bytes(2 * seconds * rate))
    for start in range(0, len(total) - len(speech) + 1, period):
        total[start:start + len(speech)] = speech
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(total.tobytes())


def test_certificates(folder):
    """A CA and a server certificate for 127.0.0.1, made with openssl."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "2", "-subj", "/CN=conversation bench CA")
    run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
        "-subj", "/CN=127.0.0.1")
    with open(os.path.join(folder, "san.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
        "-out", "server.pem", "-days", "2", "-extfile", "san.ext")
    return [os.path.join(folder, name) for name in ("ca.pem", "server.pem", "server.key")]


class Simulator:
    def __init__(self, binary, extra):
        # --stdin: it ends with this script, whatever happens.
        self.process = subprocess.Popen([binary, "--stdin", *extra], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        first = self.process.stdout.readline().split()
        if len(first) != 2 or first[0] != "realtime":
            sys.exit("the simulator did not start: " + " ".join(first))
        self.url = first[1]

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def measure(command, env, log_path):
    """Runs `command` to its end; (cpu s, voluntary switches, max RSS MiB, wall s)."""
    started = time.monotonic()
    with open(log_path, "w") as log:
        child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - started
    if child.returncode != 0:
        with open(log_path) as log:
            sys.exit(f"{' '.join(command)} failed ({child.returncode}):\n{log.read()[-2000:]}")
    return usage.ru_utime + usage.ru_stime, usage.ru_nvcsw, usage.ru_maxrss / 1024.0, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--rate", type=int, default=24000, help="rate of the conversation WAV")
    parser.add_argument("--transports", default="ws,wss")
    parser.add_argument("--peer-modules", default="/tmp/nodepeer/node_modules")
    parser.add_argument("--no-peer", action="store_true")
    parser.add_argument("--tool-arg", action="append", default=[], help="extra argument for converse")
    parser.add_argument("--other", action="append", default=[], help="NAME=BUILD_DIR: another build's tool")
    parser.add_argument("--variant", action="append", default=[], help="NAME=ARGS: this tool with more arguments")
    parser.add_argument("--in-process", action="store_true", help="the tool starts its own simulator")
    args = parser.parse_args()

    tool = os.path.join(args.build, "tools", "cli", "orvanta-openai")
    simulator = os.path.join(args.build, "tools", "simulator", "orvanta-simulator")
    for binary in (tool, simulator):
        if not os.access(binary, os.X_OK):
            sys.exit(f"{binary} is not built")
    peer = not args.no_peer and not args.in_process and os.path.isdir(os.path.join(args.peer_modules, "openai"))
    if peer and not shutil.which("node"):
        peer = False
    if not peer and not args.no_peer and not args.in_process:
        print(f"no peer: {args.peer_modules} holds no openai package (npm install openai ws)")

    work = tempfile.mkdtemp(prefix="conversation-bench-")
    wav = os.path.join(work, "conversation.wav")
    conversation_wav(wav, args.seconds, args.rate)
    transports = ["own"] if args.in_process else args.transports.split(",")
    simulators = {}
    env = dict(os.environ)
    if "wss" in transports:
        ca, cert, key = test_certificates(work)
        env["SSL_CERT_FILE"] = ca
        env["NODE_EXTRA_CA_CERTS"] = ca
        simulators["wss"] = Simulator(simulator, ["--tls-cert", cert, "--tls-key", key])
    if "ws" in transports:
        simulators["ws"] = Simulator(simulator, [])
    if args.in_process:
        simulators["own"] = None
    env["NODE_PATH"] = args.peer_modules

    def converse(binary):
        return lambda url: [binary, "converse", wav, *(["--simulator", url] if url else []),
                            "-o", os.path.join(work, "reply.wav"), *args.tool_arg]

    clients = {"tool": converse(tool)}
    for other in args.other:
        name, _, build = other.partition("=")
        clients[name] = converse(os.path.join(build, "tools", "cli", "orvanta-openai"))
    for variant in args.variant:
        name, _, extra = variant.partition("=")
        clients[name] = lambda url, extra=extra.split(): converse(tool)(url) + extra
    if peer:
        clients["peer"] = lambda url: ["node", os.path.join(HERE, "node_peer.cjs"), url, wav]
    print(f"{args.seconds} s conversation at {args.rate} Hz, {args.rounds} rounds, load {os.getloadavg()}")
    results = {(t, c): [] for t in transports for c in clients}
    try:
        for round_ in range(args.rounds):
            for transport in transports:
                # Alternate who goes first, so that neither always meets a
                # freshly started or a warmed-up simulator.
                order = list(clients) if round_ % 2 == 0 else list(reversed(clients))
                for name in order:
                    sim = simulators[transport]
                    command = clients[name](sim.url if sim else None)
                    result = measure(command, env, os.path.join(work, f"{name}.log"))
                    results[(transport, name)].append(result)
                    print(f"round {round_ + 1} {transport:3} {name:6}: cpu {result[0]:.3f} s, "
                          f"{result[1]} voluntary switches, max RSS {result[2]:.1f} MiB, wall {result[3]:.1f} s",
                          flush=True)
    finally:
        for sim in simulators.values():
            if sim:
                sim.stop()

    print("\nmedians (" + ("the tool's process, its simulator included" if args.in_process
                          else "the client process alone") + "):")
    print(f"{'':11}{'cpu s':>8}{'vol. switches':>15}{'max RSS MiB':>13}{'wall s':>8}")
    for (transport, name), runs in results.items():
        med = [statistics.median(r[i] for r in runs) for i in range(4)]
        print(f"{transport:3} {name:6} {med[0]:8.3f}{med[1]:15.0f}{med[2]:13.1f}{med[3]:8.1f}")
    if len(clients) > 1 + peer:
        # Variants and other builds against this build's tool, as it runs by default.
        print("\nCPU ratios to `tool` (medians):")
        for transport in transports:
            base = statistics.median(r[0] for r in results[(transport, "tool")])
            for name in clients:
                if name not in ("tool", "peer"):
                    cpu = statistics.median(r[0] for r in results[(transport, name)])
                    print(f"{transport:3} {name:6} {cpu / base:.3f}")
    if peer:
        print("\nratios to the peer (medians):")
        for transport in transports:
            peer_runs = results[(transport, "peer")]
            for name in clients:
                if name == "peer":
                    continue
                runs = results[(transport, name)]
                ratios = [statistics.median(r[i] for r in runs) / statistics.median(p[i] for p in peer_runs)
                          for i in range(3)]
                print(f"{transport:3} {name:6} cpu {ratios[0]:.2f}, voluntary switches {ratios[1]:.2f}, "
                      f"max RSS {ratios[2]:.2f}")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
