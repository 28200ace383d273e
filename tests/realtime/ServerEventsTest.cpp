// What the protocol client does with each server event: state, delegate
// calls, log lines, and the handling of malformed messages.

#include "RealtimeTestSupport.h"

#include "realtime/RealtimeSession.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace orvanta::extensions::openai::test {
namespace {

using Level = Logger::Level;
using Calls = std::vector<std::string>;

const char* const kInvalidPrefix = "[OpenAIWebSocketClient] Received invalid JSON object: ";

bool loggedInvalidObject(LogCapture& log) {
    for (auto& line : log.take())
        if (line.level == Level::Error && line.text.rfind(kInvalidPrefix, 0) == 0)
            return true;
    return false;
}

TEST(ServerEvents, SessionCreatedFillsTheMirrorAndConnects) {
    LogCapture log;
    ScriptedClient c;
    EXPECT_FALSE(c.client->getIsConnected());
    c.transport->receive(R"({"type":"session.created","session":{"id":"sess_A","object":"realtime.session",)"
                         R"("model":"gpt-realtime-2","instructions":"be brief","tool_choice":"auto",)"
                         R"("audio":{"input":{"format":{"type":"audio/pcm"}},)"
                         R"("output":{"format":{"type":"audio/pcmu"},"voice":"marin","speed":1}}}})");
    EXPECT_EQ(c.delegate.take(), Calls{"onSessionCreated()"});
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_TRUE(c.internals->hasActiveSession());
    const RealtimeSession s = c.internals->getSession();
    EXPECT_EQ(s.id, "sess_A");
    EXPECT_EQ(s.object, "realtime.session");
    EXPECT_EQ(s.model, "gpt-realtime-2");
    EXPECT_EQ(s.instructions, "be brief");
    EXPECT_EQ(s.toolChoice, "auto");
    EXPECT_EQ(s.inputAudioFormat, "audio/pcm");
    EXPECT_EQ(s.outputAudioFormat, "audio/pcmu");
    EXPECT_EQ(s.voice, "marin");
    EXPECT_EQ(s.speed, 1.0);
    bool prettyLogged = false;
    for (auto& line : log.take())
        prettyLogged |= line.level == Level::Debug &&
                        line.text.rfind("[OpenAIWebSocketClient] Received session.created:\n{\n  \"session\": {", 0) == 0;
    EXPECT_TRUE(prettyLogged);

    // An update merges; a second "session.created" starts from a fresh record.
    c.transport->receive(R"({"type":"session.updated","session":{"instructions":"talk more","voice":7}})");
    EXPECT_EQ(c.internals->getSession().instructions, "talk more");
    EXPECT_EQ(c.internals->getSession().id, "sess_A");
    EXPECT_EQ(c.internals->getSession().voice, "marin");
    EXPECT_TRUE(c.delegate.take().empty());
    c.transport->receive(R"({"type":"session.created","session":{"model":"x"}})");
    EXPECT_EQ(c.internals->getSession().voice, "");
    // Connected, but a session without an id is not active.
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_FALSE(c.internals->hasActiveSession());
    EXPECT_FALSE(c.client->createResponse());
}

TEST(ServerEvents, SessionMergeSkipsWrongKindsAndMissingLevels) {
    RealtimeSession s;
    s.id = "keep";
    s.voice = "v";
    s.speed = 2.0;
    s.inputAudioFormat = "in";
    s.updateFromJson(nlohmann::json::parse(R"({"id":5,"audio":{"input":"x","output":{"speed":"fast","voice":"w"}}})"));
    EXPECT_EQ(s.id, "keep");
    EXPECT_EQ(s.inputAudioFormat, "in");
    EXPECT_EQ(s.voice, "w");
    EXPECT_EQ(s.speed, 2.0);
    s.updateFromJson(nlohmann::json::parse(R"({"audio":{"output":{"speed":0.5,"format":[]}}})"));
    EXPECT_EQ(s.speed, 0.5);
    s.updateFromJson(nlohmann::json::parse(R"({"audio":{"output":{"speed":18446744073709551615}}})"));
    EXPECT_EQ(s.speed, 18446744073709551615.0);
    s.updateFromJson(nlohmann::json::parse(R"([1,2])"));
    s.updateFromJson(nlohmann::json::parse(R"({"audio":null})"));
    EXPECT_EQ(s.id, "keep");
}

TEST(ServerEvents, DispatchTable) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    log.take();

    struct Row {
        const char* message;
        Calls calls;
        const char* log; // one line that must appear (debug unless noted)
    };
    const std::vector<Row> rows = {
        {R"({"type":"input_audio_buffer.speech_started"})", {"onInputAudioSpeechStarted()"},
         "[OpenAIWebSocketClient] Speech started."},
        {R"({"type":"input_audio_buffer.speech_stopped"})", {}, "[OpenAIWebSocketClient] Speech stopped."},
        {R"({"type":"input_audio_buffer.committed"})", {}, "[OpenAIWebSocketClient] Audio buffer committed."},
        {R"({"type":"conversation.item.created","item":{"type":"function_call"}})", {},
         "[OpenAIWebSocketClient] Conversation item created with type: function_call"},
        {R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_text","text":"hey"},{"type":"input_audio"}]}})",
         {}, "[OpenAIWebSocketClient] OpenAI received user message: hey (type: input_text)"},
        {R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_audio"}]}})", {},
         "[OpenAIWebSocketClient] OpenAI received message type: input_audio"},
        {R"({"type":"conversation.item.input_audio_transcription.delta","delta":"hel"})",
         {"onInputAudioTranscriptionDelta(hel)"}, "[OpenAIWebSocketClient] Input audio transcription delta: hel"},
        {R"({"type":"conversation.item.input_audio_transcription.delta","delta":""})", {},
         "[OpenAIWebSocketClient] Input audio transcription delta: "},
        {R"({"type":"conversation.item.input_audio_transcription.delta"})", {},
         "[OpenAIWebSocketClient] Input audio transcription delta: "},
        {R"({"type":"conversation.item.input_audio_transcription.completed","transcript":"hello"})",
         {"onInputAudioTranscription(hello)"}, "[OpenAIWebSocketClient] OpenAI transcribed input audio: hello"},
        {R"({"type":"conversation.item.input_audio_transcription.completed","transcript":""})",
         {"onInputAudioTranscription()"},
         "[OpenAIWebSocketClient] Conversation item input audio transcription completed."},
        {R"({"type":"response.created"})", {"onResponseCreated()"}, "[OpenAIWebSocketClient] Response created."},
        {R"({"type":"response.output_item.added"})", {}, "[OpenAIWebSocketClient] Response output item added."},
        {R"({"type":"response.content_part.added"})", {}, "[OpenAIWebSocketClient] Response content part added."},
        {R"({"type":"response.output_audio_transcript.delta","delta":"Hi"})",
         {"onResponseAudioTranscriptionDelta(Hi)"}, "[OpenAIWebSocketClient] Response audio transcript delta: Hi"},
        {R"({"type":"response.output_audio_transcript.delta","delta":""})", {},
         "[OpenAIWebSocketClient] Response audio transcript delta: "},
        {R"({"type":"response.output_audio.delta","item_id":"it","content_index":2,"delta":"AQD+//9/"})",
         {"onResponseAudioReceived(3|it|2)"}, "[OpenAIWebSocketClient] Response audio delta."},
        {R"({"type":"response.output_audio.delta","delta":""})", {"onResponseAudioReceived(0||0)"},
         "[OpenAIWebSocketClient] Response audio delta."},
        {R"({"type":"response.output_audio.delta","delta":"AQIDBAU="})", {"onResponseAudioReceived(2||0)"},
         "[OpenAIWebSocketClient] Response audio delta."},
        {R"({"type":"response.output_audio.done"})", {}, "[OpenAIWebSocketClient] Response audio done."},
        {R"({"type":"response.output_audio_transcript.done","transcript":"Hi there"})",
         {"onResponseAudioTranscription(Hi there)"}, "[OpenAIWebSocketClient] OpenAI responded with transcript: Hi there"},
        {R"({"type":"response.output_audio_transcript.done","transcript":""})", {"onResponseAudioTranscription()"},
         "[OpenAIWebSocketClient] Response audio transcript done."},
        {R"({"type":"response.output_text.delta","delta":"x"})", {}, "[OpenAIWebSocketClient] Response text delta."},
        {R"({"type":"response.content_part.done"})", {}, "[OpenAIWebSocketClient] Response content part done."},
        {R"({"type":"response.output_item.done","item":{"type":"message"}})", {},
         "[OpenAIWebSocketClient] Response output item done."},
        {R"({"type":"response.output_item.done","item":"odd"})", {}, "[OpenAIWebSocketClient] Response output item done."},
        {R"({"type":"response.output_item.done","item":{"type":"function_call","call_id":"c1","name":"get_weather","arguments":"{\"city\":\"Oslo\"}"}})",
         {R"(onToolCall(c1|get_weather|{"city":"Oslo"}))"}, "[OpenAIWebSocketClient] Tool call: get_weather (c1)."},
        {R"({"type":"response.output_item.done","item":{"type":"function_call","call_id":"c2","name":"f"}})",
         {"onToolCall(c2|f|)"}, "[OpenAIWebSocketClient] Tool call: f (c2)."},
        {R"({"type":"response.done","response":{"status":"completed"}})", {"onResponseDone(completed)"},
         "[OpenAIWebSocketClient] Response done."},
        {R"({"type":"rate_limits.updated","rate_limits":[]})", {}, "[OpenAIWebSocketClient] Rate limit updated."},
        {R"({"type":"conversation.item.input_audio_transcription.failed","item_id":"i3","error":{"message":"too quiet"}})",
         {"onError(transcription_failed||too quiet)"},
         "[OpenAIWebSocketClient] Input audio transcription failed for item i3: too quiet"},
        {R"({"type":"conversation.item.input_audio_transcription.failed","error":{}})",
         {"onError(transcription_failed||unknown)"},
         "[OpenAIWebSocketClient] Input audio transcription failed for item : unknown"},
        {R"({"type":"conversation.item.input_audio_transcription.failed"})",
         {"onError(transcription_failed||unknown)"},
         "[OpenAIWebSocketClient] Input audio transcription failed for item : unknown"},
        {R"({"type":"error","error":{"type":"invalid_request_error","code":null,"message":"bad"}})",
         {"onError(invalid_request_error|unknown|bad)"},
         "[OpenAIWebSocketClient] Error received - Type: invalid_request_error, Code: unknown, Message: bad"},
        {R"({"type":"error","error":{"type":"server_error","code":"busy","message":"later"}})",
         {"onError(server_error|busy|later)"},
         "[OpenAIWebSocketClient] Error received - Type: server_error, Code: busy, Message: later"},
        {R"({"type":"response.something_new"})", {}, "[OpenAIWebSocketClient] Unknown message type: response.something_new"},
    };
    for (const Row& row : rows) {
        c.transport->receive(row.message);
        EXPECT_EQ(c.delegate.take(), row.calls) << row.message;
        EXPECT_TRUE(log.has(Level::Debug, row.log) || log.has(Level::Error, row.log)) << row.message;
        EXPECT_FALSE(loggedInvalidObject(log)) << row.message;
    }
    // The error event is forwarded only: the session is still up.
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_TRUE(c.internals->hasActiveSession());
}

TEST(ServerEvents, AudioDeltaSamplesAreLittleEndianAndOddBytesDropped) {
    ScriptedClient c;
    c.transport->receive(R"({"type":"response.output_audio.delta","item_id":"i","delta":"AQIDBAU="})");
    EXPECT_EQ(c.delegate.take(), Calls{"onResponseAudioReceived(2|i|0)"});
    EXPECT_EQ(c.delegate.lastSamples, (std::vector<int16_t>{0x0201, 0x0403}));
}

TEST(ServerEvents, ResponseFlagFollowsCreatedAndDone) {
    ScriptedClient c;
    c.transport->receive(R"({"type":"response.created"})");
    EXPECT_TRUE(c.internals->hasActiveResponse.load());
    // The flag drops before the missing status abandons the message.
    LogCapture log;
    c.transport->receive(R"({"type":"response.done"})");
    EXPECT_FALSE(c.internals->hasActiveResponse.load());
    EXPECT_EQ(c.delegate.take(), Calls{"onResponseCreated()"});
    EXPECT_TRUE(loggedInvalidObject(log));
}

TEST(ServerEvents, MalformedMessagesAreDroppedWithTheirLogLine) {
    LogCapture log;
    ScriptedClient c;
    c.openSession();
    log.take();

    const std::vector<std::string> invalidObjects = {
        R"({"notype":1})",
        R"([1,2,3])",
        R"("text")",
        R"({"type":5})",
        R"({"type":"session.created"})",
        R"({"type":"session.updated"})",
        R"({"type":"conversation.item.created"})",
        R"({"type":"conversation.item.created","item":{"type":"message"}})",
        R"({"type":"conversation.item.created","item":{"type":"message","content":[{"type":"input_text"}]}})",
        R"({"type":"conversation.item.input_audio_transcription.completed"})",
        R"({"type":"conversation.item.input_audio_transcription.delta","delta":3})",
        R"({"type":"response.output_audio.delta"})",
        R"({"type":"response.output_audio.delta","delta":"AQ"})",
        R"({"type":"response.output_audio.delta","delta":"AQID","content_index":"first"})",
        R"({"type":"response.output_audio.delta","delta":"AQID","content_index":1e300})",
        R"({"type":"response.output_audio.delta","delta":"AQID","content_index":4294967296})",
        R"({"type":"response.output_audio_transcript.done"})",
        R"({"type":"response.output_item.done"})",
        R"({"type":"response.done","response":{}})",
        R"({"type":"conversation.item.input_audio_transcription.failed","error":"boom"})",
        R"({"type":"error"})",
        R"({"type":"error","error":{"type":"x"}})",
        R"({"type":"error","error":{"message":"x"}})",
    };
    for (const auto& text : invalidObjects) {
        c.transport->receive(text);
        EXPECT_TRUE(loggedInvalidObject(log)) << text;
    }
    c.transport->receive(R"({"notype":1})");
    EXPECT_TRUE(log.has(Level::Debug, R"([OpenAIWebSocketClient] Received JSON: {"notype":1})"));

    for (const std::string text : {"", "{", "{\"type\":\"error\",}", "/* c */ {\"type\":\"x\"}", "{\"a\":\"\xff\"}"}) {
        c.transport->receive(text);
        EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Received unparseable JSON, dropping frame."))
            << text;
        log.take();
    }
    // Nesting beyond the bound is refused before it reaches the parser.
    c.transport->receive(std::string(100000, '[') + std::string(100000, ']'));
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Received unparseable JSON, dropping frame."));
    const std::string deepButAllowed = "{\"type\":\"x\",\"a\":" + std::string(120, '[') + std::string(120, ']') + "}";
    c.transport->receive(deepButAllowed);
    EXPECT_TRUE(log.has(Level::Debug, "[OpenAIWebSocketClient] Unknown message type: x"));

    c.transport->receiveBinary({'{', '}'});
    EXPECT_TRUE(log.has(Level::Error, "[OpenAIWebSocketClient] Received non-text message."));

    EXPECT_TRUE(c.delegate.take().empty());
    EXPECT_TRUE(c.client->getIsConnected());
    EXPECT_TRUE(c.internals->hasActiveSession());
}

} // namespace
} // namespace orvanta::extensions::openai::test
