// The comparison peer of the conversation bench: the same workload as
// `orvanta-openai converse`, driven through the OpenAI Node SDK's realtime
// WebSocket client (its public API only). It streams a 16-bit mono WAV in
// one-second chunks in real time, receives the spoken answers, keeps
// streaming silence after the file, and ends as the tool does: 2.5 s after
// the file, once every response is done and nothing has arrived for a while.
//
//   NODE_PATH=<dir with node_modules/openai and ws> \
//     node node_peer.cjs ws://127.0.0.1:PORT/v1/realtime conversation.wav
//
// For wss:// set NODE_EXTRA_CA_CERTS to the simulator's test CA.
'use strict';
const fs = require('fs');
const net = require('net');
const tls = require('tls');
const { OpenAI } = require('openai');
const { OpenAIRealtimeWS } = require('openai/realtime/ws');

const [url, wavPath] = process.argv.slice(2);
if (!url || !wavPath) {
  console.error('usage: node node_peer.cjs REALTIME_URL FILE.wav');
  process.exit(2);
}

// A canonical PCM WAV: the "fmt " and "data" chunks are all we need.
function readWav(path) {
  const bytes = fs.readFileSync(path);
  let offset = 12;
  let rate = 0;
  let data = null;
  while (offset + 8 <= bytes.length) {
    const id = bytes.toString('ascii', offset, offset + 4);
    const size = bytes.readUInt32LE(offset + 4);
    if (id === 'fmt ') {
      if (bytes.readUInt16LE(offset + 10) !== 1 || bytes.readUInt16LE(offset + 22) !== 16)
        throw new Error('need a mono 16-bit WAV');
      rate = bytes.readUInt32LE(offset + 12);
    } else if (id === 'data') {
      data = bytes.subarray(offset + 8, offset + 8 + size);
    }
    offset += 8 + size + (size & 1);
  }
  if (!rate || !data) throw new Error('not a PCM WAV');
  return { rate, samples: new Int16Array(data.buffer, data.byteOffset, data.length >> 1) };
}

// The service takes 24 kHz; other rates are interpolated linearly.
function to24k({ rate, samples }) {
  if (rate === 24000) return samples;
  const out = new Int16Array(Math.floor((samples.length * 24000) / rate));
  for (let i = 0; i < out.length; ++i) {
    const x = (i * rate) / 24000;
    const j = Math.floor(x);
    const a = samples[j];
    const b = j + 1 < samples.length ? samples[j + 1] : a;
    out[i] = Math.round(a + (b - a) * (x - j));
  }
  return out;
}

const audio = to24k(readWav(wavPath));
const chunk = 24000;
const silence = Buffer.alloc(chunk * 2);
const http = url.replace(/^ws/, 'http').replace(/\/realtime$/, '');
const client = new OpenAI({ apiKey: 'simulator-key', baseURL: http });
// Two adaptations to the local simulator, made below the SDK through the
// socket options it passes on to `ws`, free once the connection is up:
// - the SDK always asks for wss://; a plain ws:// simulator gets a plain TCP
//   connection (http.request's createConnection);
// - the simulator demands the "realtime" subprotocol, which the SDK's
//   server-side client does not offer: the request offers it and the
//   answer's echo of it is taken out before `ws` reads the answer.
function hideSubprotocolAnswer(socket) {
  socket.push = function (chunk, encoding) {
    delete socket.push; // only the first chunk holds the answer's head
    if (chunk) {
      const text = chunk.toString('latin1');
      const head = text.indexOf('\r\n\r\n');
      if (head > 0)
        chunk = Buffer.from(text.slice(0, head).replace(/\r\nsec-websocket-protocol:[^\r]*/i, '') +
                            text.slice(head), 'latin1');
    }
    return socket.push(chunk, encoding);
  };
  return socket;
}
const plain = url.startsWith('ws://');
const options = {
  headers: { 'Sec-WebSocket-Protocol': 'realtime' },
  createConnection: (o) =>
    hideSubprotocolAnswer(plain ? net.connect({ host: o.host, port: o.port }) : tls.connect(o)),
};
const rt = new OpenAIRealtimeWS({ model: 'gpt-realtime-2', options }, client);

let sent = 0;
let fileDoneAt = 0;
let created = 0;
let done = 0;
let lastEvent = Date.now();
let lastAudio = 0;
let receivedSamples = 0;
let timer = null;
let started = 0;
let ticks = 0;

function sendChunk() {
  let pcm;
  if (sent < audio.length) {
    const piece = audio.subarray(sent, Math.min(sent + chunk, audio.length));
    pcm = Buffer.alloc(chunk * 2);
    Buffer.from(piece.buffer, piece.byteOffset, piece.length * 2).copy(pcm);
    sent += piece.length;
    if (sent >= audio.length) fileDoneAt = Date.now();
  } else {
    pcm = silence;
  }
  rt.send({ type: 'input_audio_buffer.append', audio: pcm.toString('base64') });
}

// One chunk per second on the clock, not per callback, so that drift does
// not add up.
function tick() {
  sendChunk();
  ++ticks;
  const now = Date.now();
  if (fileDoneAt && now - fileDoneAt >= 2500 && done >= 1 && created === done &&
      now - lastAudio >= 600 && now - lastEvent >= 300) {
    finish(0);
    return;
  }
  timer = setTimeout(tick, Math.max(0, started + ticks * 1000 - now));
}

function finish(status) {
  clearTimeout(timer);
  console.log(`peer: ${created} responses, ${(receivedSamples / 24000).toFixed(1)} s of audio received`);
  rt.close();
  process.exit(status);
}

rt.on('error', (err) => {
  console.error('peer: ' + err.message);
  finish(1);
});
rt.socket.on('close', () => {
  if (!fileDoneAt) {
    console.error('peer: the connection closed');
    process.exit(1);
  }
});
rt.on('event', (event) => {
  lastEvent = Date.now();
  switch (event.type) {
    case 'session.created':
      rt.send({
        type: 'session.update',
        session: {
          type: 'realtime',
          model: 'gpt-realtime-2',
          output_modalities: ['audio'],
          audio: {
            input: {
              format: { type: 'audio/pcm', rate: 24000 },
              transcription: { model: 'gpt-4o-mini-transcribe' },
              turn_detection: { type: 'server_vad' },
            },
            output: { format: { type: 'audio/pcm', rate: 24000 } },
          },
        },
      });
      started = Date.now();
      tick();
      break;
    case 'response.output_audio.delta':
      receivedSamples += Buffer.from(event.delta, 'base64').length >> 1;
      lastAudio = Date.now();
      break;
    case 'response.created':
      ++created;
      break;
    case 'response.done':
      ++done;
      break;
  }
});
setTimeout(() => {
  console.error('peer: timed out');
  finish(1);
}, (audio.length / 24000 + 60) * 1000);
