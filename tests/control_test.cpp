// Control requests: the command each one puts on the line, the rejections,
// and the exchange request -> answer -> query.
#include <cstring>

#include "support.h"

namespace {

using PowerSystem = pmbuspower_419<tzv58_419_Data_t, 5535>;

constexpr int QUERY = 0;

template <class Device>
int control(Rig<Device>& rig, int code, const std::string& in, std::vector<uint8_t>* out = nullptr,
            int* written = nullptr) {
    int dummy = -7;
    return rig.dev->DeviceIoControl(code, in.data(), int(in.size()), out ? out->data() : nullptr,
                                    out ? int(out->size()) : 0, written ? *written : dummy);
}

template <class Device>
int32_t query(Rig<Device>& rig) {
    std::vector<uint8_t> out(4, 0xAA);
    int written = -7;
    EXPECT_EQ(rig.dev->DeviceIoControl(QUERY, nullptr, 0, out.data(), int(out.size()), written), 0);
    EXPECT_EQ(written, 4);
    int32_t v;
    std::memcpy(&v, out.data(), sizeof v);
    return v;
}

std::string bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A base round with neither AC nor DC: 41H/41H, 41H/43H, 41H/44H, then
// poll_step 10 until the next refresh.
void run_base_round(Rig<PowerSystem>& rig) {
    rig.dev->has_ac = false;
    ASSERT_EQ(rig.dev->RefreshStatus(), 1);
    for (int i = 0; i < 3; ++i) rig.reply(0x41, hex("00"));
    ASSERT_EQ(rig.dev->poll_step, 10);
    rig.rec.clear();
}

TEST(SetTime, SendsTheSevenBytesAndAnswersOneInTheOutputBuffer) {
    Rig<> rig;
    const std::vector<uint8_t> when = hex("EA 07 0C 07 13 25 00");
    std::vector<uint8_t> out(8, 0xAA);
    int written = -7;
    EXPECT_EQ(control(rig, 300, bytes(when), &out, &written), 0);
    ASSERT_EQ(rig.rec.sent.size(), 1u);
    EXPECT_EQ(rig.rec.sent[0].cid1, 0x41);
    EXPECT_EQ(rig.rec.sent[0].cid2, 0x4E);
    EXPECT_EQ(rig.rec.sent[0].info, when);
    EXPECT_EQ(rig.rec.sent[0].frame, "~2001414E200EEA070C07132500FA96");
    EXPECT_EQ(rig.rec.calls, (std::vector<std::string>{"open_port", "send"}));
    int32_t one;
    std::memcpy(&one, out.data(), 4);
    EXPECT_EQ(one, 1);
    EXPECT_EQ(to_hex(out).substr(8), "AAAAAAAA");
    EXPECT_EQ(written, 4);
    EXPECT_EQ(rig.dev->poll_step, 300);
    EXPECT_EQ(rig.dev->ctrl_result, -1);
}

TEST(SetTime, ShortOutputBufferIsLeftAlone) {
    Rig<> rig;
    std::vector<uint8_t> out(2, 0xAA);
    int written = -7;
    EXPECT_EQ(control(rig, 300, bytes(hex("EA 07 0C 07 13 25 00")), &out, &written), 0);
    EXPECT_EQ(rig.rec.sent.size(), 1u);
    EXPECT_EQ(to_hex(out), "AAAA");
    EXPECT_EQ(written, -7);
}

TEST(SetTime, AnyLengthButSevenIsRefused) {
    for (const char* in : {"EA 07 0C 07 13 25", "EA 07 0C 07 13 25 00 00", ""}) {
        Rig<> rig;
        rig.dev->poll_step = 4;
        rig.dev->ctrl_result = 1;
        std::vector<uint8_t> out(4, 0xAA);
        int written = -7;
        EXPECT_EQ(control(rig, 300, bytes(hex(in)), &out, &written), -1) << in;
        EXPECT_TRUE(rig.rec.sent.empty());
        EXPECT_EQ(rig.rec.calls, (std::vector<std::string>{"open_port"}));
        EXPECT_EQ(rig.dev->poll_step, 300);
        EXPECT_EQ(rig.dev->ctrl_result, -1);
        EXPECT_EQ(written, -7);
    }
}

TEST(SetParam, SendsTypeByteAndSingleLowByteFirst) {
    const struct {
        const char* request;
        const char* info;
    } cases[] = {
        {R"({"signal_id": "006201", "SetValue": "53.5"})", "DC00005642"},
        {R"({"signal_id": "006201", "SetValue": 53.5})", "DC00005642"},
        {R"({"signal_id": "006202", "SetValue": "-0.1"})", "DBCDCCCCBD"},
        {R"({"signal_id": "006202", "SetValue": 56})", "DB00006042"},
        // atof takes the leading number and ignores the rest.
        {R"({"signal_id": "006201", "SetValue": " 48.25 V"})", "DC00004142"},
        {"// from the operator\n{\"signal_id\": \"006201\", /* volts */ \"SetValue\": \"53.5\"}", "DC00005642"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        Rig<> rig;
        EXPECT_EQ(control(rig, 310, c.request), 0);
        ASSERT_EQ(rig.rec.sent.size(), 1u);
        EXPECT_EQ(rig.rec.sent[0].cid1, 0x42);
        EXPECT_EQ(rig.rec.sent[0].cid2, 0x48);
        EXPECT_EQ(to_hex(rig.rec.sent[0].info), c.info);
        EXPECT_EQ(rig.rec.calls.front(), "open_port");
        EXPECT_EQ(rig.dev->poll_step, 310);
        EXPECT_EQ(rig.dev->ctrl_result, -1);
    }
    Rig<> rig;
    control(rig, 310, R"({"signal_id": "006201", "SetValue": "53.5"})");
    EXPECT_EQ(rig.rec.sent[0].frame, "~20014248600ADC00005642FB7C");
}

TEST(SetParam, IncompleteRequestsSendNothingAndAnswerZero) {
    for (const char* request : {
             R"({"signal_id": "006203", "SetValue": "53.5"})",
             R"({"signal_id": "", "SetValue": "53.5"})",
             R"({"signal_id": null, "SetValue": "53.5"})",
             R"({"SetValue": "53.5"})",
             R"({"signal_id": "006201"})",
             R"({"signal_id": "006201", "SetValue": null})",
             R"({"signal_id": "006201 ", "SetValue": "53.5"})",
             R"({"signal_id": 6201, "SetValue": "53.5"})",
             R"({})",
         }) {
        SCOPED_TRACE(request);
        Rig<> rig;
        rig.dev->ctrl_result = 1;
        EXPECT_EQ(control(rig, 310, request), 0);
        EXPECT_TRUE(rig.rec.sent.empty());
        EXPECT_EQ(rig.dev->poll_step, 310);
        EXPECT_EQ(rig.dev->ctrl_result, -1);
    }
}

TEST(SetParam, MalformedRequestsAreRefusedWithoutThrowing) {
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    for (const std::string& request : std::vector<std::string>{
             "", "{", "signal_id=006201", R"({"signal_id": "006201", "SetValue": })",
             // Valid JSON, but not a request object.
             "5", "\"006201\"", "null", R"([{"signal_id": "006201", "SetValue": "53.5"}])",
             // Members that have no text form.
             R"({"signal_id": ["006201"], "SetValue": "53.5"})", R"({"signal_id": {"id": "006201"}, "SetValue": 1})",
             R"({"signal_id": "006201", "SetValue": [53.5]})", R"({"signal_id": "006201", "SetValue": {"v": 53.5}})",
             R"({"signal_id": "006203", "SetValue": []})", deep,
             // Values that are no number, or no finite single: never sent.
             R"({"signal_id": "006201", "SetValue": "abc"})", R"({"signal_id": "006201", "SetValue": ""})",
             R"({"signal_id": "006201", "SetValue": true})", R"({"signal_id": "006201", "SetValue": "nan"})",
             R"({"signal_id": "006202", "SetValue": "-inf"})", R"({"signal_id": "006202", "SetValue": 1e39})"}) {
        SCOPED_TRACE(request.substr(0, 60));
        Rig<> rig;
        int result = 0;
        EXPECT_NO_THROW(result = control(rig, 310, request));
        EXPECT_EQ(result, -1);
        EXPECT_TRUE(rig.rec.sent.empty());
        EXPECT_EQ(rig.dev->ctrl_result, -1);
    }
}

TEST(SetParam, TextIsTakenAsExactlyTheGivenLength) {
    Rig<> rig;
    const std::string text = R"({"signal_id": "006201", "SetValue": "53.5"})";
    int written = 0;
    // The caller's length stops short of the closing brace.
    EXPECT_EQ(rig.dev->DeviceIoControl(310, text.data(), int(text.size()) - 1, nullptr, 0, written), -1);
    EXPECT_TRUE(rig.rec.sent.empty());
}

TEST(RemoteControl, EveryIdSendsItsTwoBytes) {
    const struct {
        const char* id;
        const char* info;
    } rows[] = {
        {"419500201001", "E501"}, {"419500201002", "E502"}, {"419500201003", "E503"},
        {"419500200001", "E601"}, {"419500200002", "E602"}, {"419500200003", "E603"},
        {"419500600001", "1F02"}, {"419500601001", "1002"}, {"419500602001", "1102"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        Rig<> rig;
        rig.dev->poll_step = 7;
        EXPECT_EQ(control(rig, 320, row.id), 0);
        ASSERT_EQ(rig.rec.sent.size(), 1u);
        EXPECT_EQ(rig.rec.sent[0].cid1, 0x41);
        EXPECT_EQ(rig.rec.sent[0].cid2, 0x45);
        EXPECT_EQ(to_hex(rig.rec.sent[0].info), row.info);
        EXPECT_EQ(rig.rec.calls, (std::vector<std::string>{"open_port", "send"}));
        EXPECT_EQ(rig.dev->poll_step, 7);
        EXPECT_EQ(rig.dev->sp_step, 320);
        EXPECT_EQ(rig.dev->ctrl_result, -1);
    }
    Rig<> rig;
    control(rig, 320, "419500201002");
    EXPECT_EQ(rig.rec.sent[0].frame, "~20014145C004E502FCBC");
}

TEST(RemoteControl, OnlyTheWholeIdMatches) {
    for (const std::string& id : {std::string("419500201002", 13), std::string("41950020100"),
                                  std::string("4195002010021"), std::string(" 419500201002"), std::string()}) {
        Rig<> rig;
        EXPECT_EQ(control(rig, 320, id), 0) << id;
        EXPECT_TRUE(rig.rec.sent.empty());
        EXPECT_EQ(rig.dev->sp_step, 320);
    }
}

TEST(Query, ReportsTheLastRequestsState) {
    Rig<> rig;
    std::vector<uint8_t> out(3, 0xAA);
    int written = -7;
    EXPECT_EQ(rig.dev->DeviceIoControl(QUERY, nullptr, 0, out.data(), 3, written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(to_hex(out), "AAAAAA");
    EXPECT_EQ(query(rig), -1);
    rig.dev->ctrl_result = 1;
    for (int code : {0, 1, 299, 301, 330, -1}) {
        written = -7;
        std::vector<uint8_t> big(8, 0xAA);
        EXPECT_EQ(rig.dev->DeviceIoControl(code, nullptr, 0, big.data(), 8, written), 0);
        EXPECT_EQ(written, 4);
        EXPECT_EQ(to_hex(big), "01000000AAAAAAAA");
    }
    EXPECT_TRUE(rig.rec.calls.empty());
}

TEST(Arguments, BuffersThatAreDescribedButNotGivenAreNeverTouched) {
    const std::string good[] = {bytes(hex("EA 07 0C 07 13 25 00")), R"({"signal_id": "006201", "SetValue": "53.5"})",
                                "419500201002"};
    const int codes[] = {300, 310, 320};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(codes[i]);
        std::vector<uint8_t> out(4, 0xAA);
        int written = -7;
        Rig<> a;
        EXPECT_EQ(a.dev->DeviceIoControl(codes[i], nullptr, int(good[i].size()), out.data(), 4, written), -1);
        Rig<> b;
        EXPECT_EQ(b.dev->DeviceIoControl(codes[i], good[i].data(), -1, out.data(), 4, written), -1);
        for (auto* rig : {&a, &b}) {
            EXPECT_TRUE(rig->rec.sent.empty());
            EXPECT_EQ(rig->rec.calls, (std::vector<std::string>{"open_port"}));
            EXPECT_EQ(rig->dev->ctrl_result, -1);
        }
        EXPECT_EQ(written, -7);
        EXPECT_EQ(to_hex(out), "AAAAAAAA");
        // Only the time command writes its result to out: without an out
        // buffer it is refused, while 310 and 320 send their command.
        Rig<> c;
        const int result = c.dev->DeviceIoControl(codes[i], good[i].data(), int(good[i].size()), nullptr, 4, written);
        EXPECT_EQ(written, -7);
        if (codes[i] == 300) {
            EXPECT_EQ(result, -1);
            EXPECT_TRUE(c.rec.sent.empty());
        } else {
            EXPECT_EQ(result, 0);
            ASSERT_EQ(c.rec.sent.size(), 1u);
            EXPECT_EQ(c.rec.sent[0].cid2, codes[i] == 310 ? 0x48 : 0x45);
        }
    }
    Rig<> rig;
    int written = -7;
    EXPECT_EQ(rig.dev->DeviceIoControl(QUERY, nullptr, -5, nullptr, 4, written), 0);
    EXPECT_EQ(written, 0);
    // Nothing to read, nothing to write: a null buffer of length 0 is fine.
    EXPECT_EQ(rig.dev->DeviceIoControl(320, nullptr, 0, nullptr, 0, written), 0);
    EXPECT_EQ(rig.dev->DeviceIoControl(310, nullptr, 0, nullptr, 0, written), -1);
}

TEST(Exchange, AnswerToSetTimeOrSetParamIsReadBackAsOne) {
    const std::string requests[] = {bytes(hex("EA 07 0C 07 13 25 00")),
                                    R"({"signal_id": "006202", "SetValue": "53.5"})"};
    const int codes[] = {300, 310};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(codes[i]);
        Rig<> rig;
        rig.dev->poll_step = 0;
        std::vector<uint8_t> out(4);
        ASSERT_EQ(control(rig, codes[i], requests[i], &out), 0);
        EXPECT_EQ(query(rig), -1);
        rig.rec.clear();
        rig.reply(codes[i] == 300 ? 0x41 : 0x42, {});
        EXPECT_EQ(rig.dev->ctrl_result, 1);
        EXPECT_TRUE(rig.rec.sent.empty());
        EXPECT_EQ(query(rig), 1);
        // The next round starts from its first step; the answer is kept.
        ASSERT_EQ(rig.dev->RefreshStatus(), 1);
        EXPECT_EQ(rig.dev->poll_step, 0);
        EXPECT_EQ(query(rig), 1);
        // A new request forgets it.
        control(rig, codes[i], requests[i], &out);
        EXPECT_EQ(query(rig), -1);
    }
}

TEST(Exchange, RemoteControlIsAnsweredBetweenBaseRounds) {
    Rig<PowerSystem> rig;
    run_base_round(rig);
    ASSERT_EQ(control(rig, 320, "419500200003"), 0);
    EXPECT_EQ(query(rig), -1);
    rig.reply(0x41, {});
    EXPECT_EQ(rig.dev->poll_step, 10);
    EXPECT_EQ(query(rig), 1);
}

TEST(Exchange, RemoteControlAnswerBetweenModelRoundsIsTakenForAnAcReply) {
    Rig<> rig;
    std::vector<uint8_t> record(sizeof(tzv58_419_Data_t));
    ASSERT_TRUE(rig.dev->LoadFromCache(record.data(), int(record.size())));
    ASSERT_EQ(rig.dev->poll_step, 0);
    ASSERT_EQ(control(rig, 320, "419500600001"), 0);
    rig.reply(0x41, {});
    EXPECT_EQ(rig.dev->ctrl_result, -1);
    EXPECT_EQ(query(rig), -1);
}

}  // namespace
