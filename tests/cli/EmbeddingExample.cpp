// The README's embedding example (samples/EmbeddingExample.cpp) against the
// simulator.

#include "realtime/RealtimeEndpoint.h"
#include "tools/cli/WavReader.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

std::string askOnce(const std::string& apiKey, const std::vector<float>& speech);

// The README quotes it word for word, and it gets a spoken answer.
TEST(EmbeddingExample, TheReadmeQuotesItAndItGetsASpokenAnswer) {
    std::ostringstream example, readme;
    example << std::ifstream(ORVANTA_EMBEDDING_EXAMPLE).rdbuf();
    readme << std::ifstream(ORVANTA_README).rdbuf();
    const std::string marker = "// [embedding-example]\n", text = example.str();
    const auto begin = text.find(marker) + marker.size();
    const auto end = text.find(marker, begin);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(readme.str().find("```cpp\n" + text.substr(begin, end - begin) + "```\n"), std::string::npos)
        << "README.md must quote the example between the markers of " << ORVANTA_EMBEDDING_EXAMPLE << " exactly";

    orvanta::simulator::SimulatorOptions options;
    options.responseText = "It is sunny in Paris.";
    options.pacing = 0;
    orvanta::simulator::Simulator simulator(options);
    simulator.start();
    orvanta::extensions::openai::setRealtimeEndpointOverride(simulator.realtimeUrl());
    orvanta::cli::WavReader sample(ORVANTA_SAMPLES_DIR "/hello.wav");
    ASSERT_EQ(sample.getSampleRate(), 16000);
    EXPECT_EQ(askOnce("test-key", sample.readAll()), "It is sunny in Paris.");
    orvanta::extensions::openai::clearRealtimeEndpointOverride();
}
