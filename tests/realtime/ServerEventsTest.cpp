// What the protocol client does with each server event: state, delegate
// calls and log lines, and how malformed messages are dropped.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeSession.h"
#include "utils/Base64.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
const std::string kTag = "[OpenAIWebSocketClient] ";

bool loggedInvalidObject(LogCapture& log) {
    const auto lines = log.take();
    return std::any_of(lines.begin(), lines.end(), [](const auto& l) {
        return l.first == Level::Error && l.second.rfind(kTag + "Received invalid JSON object: ", 0) == 0;
    });
}

TEST(ServerEvents, SessionMirror) {
    ScriptedClient c;
    // A session that is not an object is an invalid message, not a session.
    c.transport->receive(R"({"type":"session.created","session":"sess_A"})");
    EXPECT_FALSE(c.client->getIsConnected());
    EXPECT_TRUE(c.delegate.take().empty());
    c.transport->receive(R"({"type":"session.created","session":{"id":"sess_A","object":"realtime.session","model":"gpt-realtime-2",)"
                         R"("instructions":"be brief","tool_choice":"auto","audio":{"input":{"format":{"type":"audio/pcm"}},)"
                         R"("output":{"format":{"type":"audio/pcmu"},"voice":"marin","speed":1}}}})");
    EXPECT_EQ(c.delegate.take(), Calls{"onSessionCreated()"});
    EXPECT_TRUE(c.client->getIsConnected());
    RealtimeSession s = c.internals->getSession();
    EXPECT_EQ(std::vector<std::string>({s.id, s.object, s.model, s.instructions, s.toolChoice, s.inputAudioFormat,
                                        s.outputAudioFormat, s.voice}),
              std::vector<std::string>({"sess_A", "realtime.session", "gpt-realtime-2", "be brief", "auto", "audio/pcm",
                                        "audio/pcmu", "marin"}));
    EXPECT_EQ(s.speed, 1.0);

    // An update merges only present keys of the right kind.
    c.transport->receive(R"({"type":"session.updated","session":{"instructions":"more","voice":7,"audio":{"input":3,"output":{"speed":0.5}}}})");
    s = c.internals->getSession();
    EXPECT_EQ(s.instructions, "more");
    EXPECT_EQ(s.voice, "marin");
    EXPECT_EQ(s.inputAudioFormat, "audio/pcm");
    EXPECT_EQ(s.speed, 0.5);
    EXPECT_TRUE(c.delegate.take().empty());
    // A second "session.created" starts from a fresh record; without an id
    // the client is connected but has no active session.
    c.transport->receive(R"({"type":"session.created","session":{"model":"x"}})");
    EXPECT_EQ(c.internals->getSession().voice, "");
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_FALSE(c.client->createResponse());
}

// Every row twice: as parsed directly, and the way of large messages (a
// skeleton parsed, every string read from the message itself).
TEST(ServerEvents, DispatchTable) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    struct Row {
        const char* message;
        Calls calls;
        std::string log; // a line that must appear, debug or error
    };
    const std::vector<Row> rows = {
        {R"({"type":"input_audio_buffer.speech_started"})", {"onInputAudioSpeechStarted()"}, "Speech started."},
        {R"({"type":"input_audio_buffer.speech_stopped"})", {}, "Speech stopped."},
        {R"({"type":"input_audio_buffer.committed"})", {}, "Audio buffer committed."},
        {R"({"type":"conversation.item.created","item":{"type":"function_call"}})", {}, "Conversation item created with type: function_call"},
        {R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_text","text":"hey"}]}})", {},
         "OpenAI received user message: hey (type: input_text)"},
        {R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_audio"}]}})", {},
         "OpenAI received message type: input_audio"},
        {R"({"type":"conversation.item.input_audio_transcription.delta","delta":"hel"})", {"onInputAudioTranscriptionDelta(hel)"},
         "Input audio transcription delta: hel"},
        {R"({"type":"conversation.item.input_audio_transcription.delta","delta":""})", {}, "Input audio transcription delta: "},
        {R"({"type":"conversation.item.input_audio_transcription.completed","transcript":""})", {"onInputAudioTranscription()"},
         "OpenAI transcribed input audio: "},
        {R"({"type":"response.created"})", {"onResponseCreated()"}, "Response created."},
        {R"({"type":"response.output_item.added"})", {}, "Response output item added."},
        {R"({"type":"response.content_part.added"})", {}, "Response content part added."},
        {R"({"type":"response.output_audio_transcript.delta","delta":"Hi"})", {"onResponseAudioTranscriptionDelta(Hi)"},
         "Response audio transcript delta: Hi"},
        {R"({"type":"response.output_audio_transcript.delta"})", {}, "Response audio transcript delta: "},
        {R"({"type":"response.output_audio.delta","item_id":"it","content_index":2,"delta":"AQIDBAU="})",
         {"onResponseAudioReceived(2|it|2)"}, "Response audio delta."},
        {R"({"type":"response.output_audio.delta","delta":""})", {"onResponseAudioReceived(0||0)"}, "Response audio delta."},
        {R"({"type":"response.output_audio.done"})", {}, "Response audio done."},
        {R"({"type":"response.output_audio_transcript.done","transcript":"Hi there"})", {"onResponseAudioTranscription(Hi there)"},
         "OpenAI responded with transcript: Hi there"},
        {R"({"type":"response.output_text.delta"})", {}, "Response text delta."},
        {R"({"type":"response.content_part.done"})", {}, "Response content part done."},
        {R"({"type":"response.output_item.done","item":{"type":"message"}})", {}, "Response output item done."},
        {R"({"type":"response.output_item.done","item":{"type":"function_call","call_id":"c1","name":"f","arguments":"{\"a\":1}"}})",
         {R"(onToolCall(c1|f|{"a":1}))"}, "Tool call: f (c1)."},
        {R"({"type":"response.output_item.done","item":{"type":"function_call","call_id":"c2","name":"g"}})", {"onToolCall(c2|g|)"},
         "Tool call: g (c2)."},
        {R"({"type":"response.done","response":{"status":"completed"}})", {"onResponseDone(completed)"}, "Response done."},
        {R"({"type":"rate_limits.updated"})", {}, "Rate limit updated."},
        {R"({"type":"conversation.item.input_audio_transcription.failed","item_id":"i3","error":{"message":"too quiet"}})",
         {"onError(transcription_failed||too quiet)"}, "Input audio transcription failed for item i3: too quiet"},
        {R"({"type":"conversation.item.input_audio_transcription.failed"})", {"onError(transcription_failed||unknown)"},
         "Input audio transcription failed for item : unknown"},
        {R"({"type":"error","error":{"type":"invalid_request_error","code":null,"message":"bad"}})",
         {"onError(invalid_request_error|unknown|bad)"}, "Error received - Type: invalid_request_error, Code: unknown, Message: bad"},
        {R"({"type":"error","error":{"type":"server_error","code":"busy","message":"later"}})", {"onError(server_error|busy|later)"},
         "Error received - Type: server_error, Code: busy, Message: later"},
        {R"({"type":"brand.new"})", {}, "Unknown message type: brand.new"},
        // Read as the JSON library read it: a byte order mark is skipped, of
        // repeated names the last counts, escapes are decoded.
        {"\xEF\xBB\xBF" R"({"type":"response.output_audio_transcript.delta","delta":"a","delta":"\u00e9\/"})",
         {"onResponseAudioTranscriptionDelta(\xC3\xA9/)"}, "Response audio transcript delta: \xC3\xA9/"},
    };
    for (bool large : {false, true}) {
        if (large)
            c.internals->setLargeMessageLimits(0, 1);
        for (const Row& row : rows) {
            c.transport->receive(row.message);
            EXPECT_EQ(c.delegate.take(), row.calls) << row.message;
            EXPECT_TRUE(log.has(Level::Debug, kTag + row.log) || log.has(Level::Error, kTag + row.log)) << row.message;
            EXPECT_FALSE(loggedInvalidObject(log)) << row.message;
        }
        c.transport->receive(R"({"type":"response.output_audio.delta","delta":"AQIDBAU="})");
        EXPECT_EQ(c.delegate.lastSamples, (std::vector<int16_t>{0x0201, 0x0403})); // little-endian, odd byte dropped
        c.delegate.take();
    }
    // 1.5 s of audio, past the size parsed directly, on a client as built.
    ScriptedClient big;
    std::vector<int16_t> samples(36000);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(i * 7919);
    big.transport->receive(R"({"type":"response.output_audio.delta","delta":")" +
                           base64::Base64::encode(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2) +
                           "\"}");
    EXPECT_EQ(big.delegate.lastSamples, samples);
    // Error events are forwarded only: the session is still up.
    EXPECT_TRUE(c.client->getIsConnected() && c.internals->hasActiveSession());
}

TEST(ServerEvents, MalformedMessagesAreDropped) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    c.transport->receive(R"({"type":"response.created"})");
    c.delegate.take();
    log.take();
    for (const char* text : {
             R"({"notype":1})", R"([1,2])", R"({"type":5})", R"({"type":"session.created"})", R"({"type":"session.updated"})",
             R"({"type":"session.updated","session":[]})",
             R"({"type":"conversation.item.created","item":{"type":"message"}})",
             R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_text"}]}})",
             R"({"type":"conversation.item.input_audio_transcription.completed"})",
             R"({"type":"response.output_audio.delta"})", R"({"type":"response.output_audio.delta","delta":"AQ"})",
             R"({"type":"response.output_audio.delta","delta":"AQID","content_index":"first"})",
             R"({"type":"response.output_audio.delta","delta":"AQID","content_index":1e300})",
             R"({"type":"response.output_audio.delta","delta":"AQID","content_index":4294967296})",
             R"({"type":"response.output_audio.delta","delta":"AQID","content_index":123456789012345678901234567890})",
             R"({"type":"response.output_audio_transcript.done"})", R"({"type":"response.output_item.done"})",
             R"({"type":"conversation.item.input_audio_transcription.failed","error":"boom"})",
             R"({"type":"error"})", R"({"type":"error","error":{"type":"x"}})", R"({"type":"response.done"})"}) {
        c.transport->receive(text);
        EXPECT_TRUE(loggedInvalidObject(log)) << text;
    }
    // "response.done" without its body still ended the response first.
    EXPECT_FALSE(c.internals->hasActiveResponse.load());
    c.transport->receive(R"({"notype":1})");
    EXPECT_TRUE(log.has(Level::Debug, kTag + R"(Received JSON: {"notype":1})"));

    const std::string tooDeep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string& text : {std::string(), std::string("{"), std::string("/* c */ {}"), std::string("\"\xff\""), tooDeep}) {
        c.transport->receive(text);
        EXPECT_TRUE(log.has(Level::Error, kTag + "Received unparseable JSON, dropping frame.")) << text.substr(0, 10);
        log.take();
    }
    c.transport->receive("{\"type\":\"x\",\"a\":" + std::string(120, '[') + std::string(120, ']') + "}");
    EXPECT_TRUE(log.has(Level::Debug, kTag + "Unknown message type: x")); // deep, but within the bound
    c.transport->onMessageHandler({'{', '}'}, false);
    EXPECT_TRUE(log.has(Level::Error, kTag + "Received non-text message."));
    EXPECT_TRUE(c.delegate.take().empty());
    EXPECT_TRUE(c.client->getIsConnected() && c.internals->hasActiveSession());
}

} // namespace
} // namespace orvanta::extensions::openai::test
