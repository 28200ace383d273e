#pragma once

#include "tools/cli/WavReader.h"

#include <atomic>
#include <cstdint>

namespace orvanta::cli {

// The renderer's source: the input file, block by block, then silence for as
// long as the run lasts (the node needs blocks to play its output, and the
// service's voice detection needs silence to end the turn).
//
// File audio flows only while the gate is open (a session is up and the
// node's input buffer has room); otherwise the feeder holds its place and
// gives silence, so that no part of the file goes into a node that cannot
// send it.
//
// Threads: fill on the renderer's audio thread (no lock, no allocation);
// everything else from any thread.
class InputFeeder {
public:
    explicit InputFeeder(WavReader& reader);

    // Audio thread: the OfflineRenderer::Source.
    bool fill(float* interleaved, int frames);

    void setGate(bool open) { gate.store(open); }
    // Audio thread (from the host log, inside the node's process): the
    // node's input buffer started or stopped dropping blocks. File audio
    // waits while it drops; a drop that may have hit file audio is remembered.
    void noteInputOverflow(bool dropping);
    bool wasFileAudioDropped() const { return fileDropped.load(); }
    // Makes the next fill end the run.
    void stop() { stopped.store(true); }

    int getSampleRate() const { return sampleRate; }
    std::int64_t getFileFramesFed() const { return fileFramesFed.load(); }
    std::int64_t getFileFramesLeft() const { return fileFrames - fileFramesFed.load(); }
    bool isFileDone() const { return fileDone.load(); }
    // Silence fed since the end of the file.
    std::int64_t getFramesAfterFile() const { return framesAfterFile.load(); }
    // The file's last samples have gone through the node's process and its
    // rate converter (which holds back 65 ms at most), so that a commit now
    // takes all of the file; and how much more silence that needs.
    static constexpr double throughNodeSeconds = 0.15;
    bool isFileThroughNode() const { return isFileDone() && framesThroughNodeLeft() == 0; }
    std::int64_t framesThroughNodeLeft() const;
    // True while the block just handed out held file audio (audio thread).
    bool lastBlockHadFile() const { return lastHadFile.load(); }

private:
    WavReader& reader;
    const int sampleRate;
    const std::int64_t fileFrames;
    std::atomic<bool> gate{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> fileDone{false};
    std::atomic<bool> lastHadFile{false};
    std::atomic<bool> overflowing{false};
    std::atomic<bool> fileDropped{false};
    int blocksSinceFile = 1 << 20; // audio thread
    std::atomic<std::int64_t> fileFramesFed{0};
    std::atomic<std::int64_t> framesAfterFile{0};
};

} // namespace orvanta::cli
