// The poll cycle against a recording host: which commands go out, in which
// order, and what a round leaves in the record.
#include <functional>
#include <map>

#include "device/protocol_steps.h"
#include "support.h"

namespace {

using Info = std::vector<uint8_t>;

// A small healthy plant in fixed point: one AC channel, one module, one DC unit.
struct Plant {
    Info ac_analog = hex("00 01 5622 5622 5622 1388 00 0000 0000 0000");
    Info ac_status = hex("00 02 00 01 00");
    Info ac_alarm = hex("00 02 00000000 00 00 00000000 00 00 000000");
    Info rc_analog = hex("00 1538 01 03E8 00");
    Info rc_status = hex("00 01 000102 01 05");
    Info rc_alarm = hex("00 01 00 07 00000000000000");
    Info dc_analog = hex("00 01 14B5 09C4 01 0064 00 00");
    Info dc_alarm = hex("00 01 00 00 00");
    Info vendor = hex("00 01 01F4 01 0064");

    const Info* reply_to(const SentCommand& c) const {
        static const std::map<int, Info Plant::*> by_command = {
            {0x4042, &Plant::ac_analog}, {0x4043, &Plant::ac_status}, {0x4044, &Plant::ac_alarm},
            {0x4142, &Plant::rc_analog}, {0x4143, &Plant::rc_status}, {0x4144, &Plant::rc_alarm},
            {0x4242, &Plant::dc_analog}, {0x4244, &Plant::dc_alarm},  {0x8042, &Plant::vendor},
        };
        const auto it = by_command.find(c.cid1 << 8 | c.cid2);
        return it == by_command.end() ? nullptr : &(this->*(it->second));
    }
};

// Answers every command the device sends until it stops sending. Returns the
// commands of the round as "CID1/CID2 INFO".
template <class Device>
std::vector<std::string> run_round(Rig<Device>& rig, const Plant& plant) {
    rig.rec.sent.clear();
    if (rig.dev->RefreshStatus() != 1) return {};
    for (size_t answered = 0; answered < rig.rec.sent.size() && answered < 20; ++answered) {
        const Info* info = plant.reply_to(rig.rec.sent[answered]);
        if (!info) break;
        rig.reply(rig.rec.sent[answered].cid1, *info);
    }
    std::vector<std::string> out;
    for (const auto& c : rig.rec.sent) {
        char head[8];
        std::snprintf(head, sizeof head, "%02X/%02X", c.cid1, c.cid2);
        out.push_back(std::string(head) + (c.info.empty() ? "" : " " + to_hex(c.info)));
    }
    return out;
}

std::vector<std::string> cmds(std::initializer_list<const char*> l) { return {l.begin(), l.end()}; }

const auto kFirstRound =
    cmds({"40/42 01", "40/43 01", "40/44 01", "41/42", "41/43", "41/44", "42/42 01", "42/44", "80/42"});
const auto kSteadyRound = cmds({"40/42 01", "41/42", "42/42 01", "80/42"});

using Base = pmbuspower_419<tzv58_419_Data_t, 5535>;

}  // namespace

TEST(PollCycle, FirstModelRoundSendsNineCommands) {
    Rig<> rig;
    capture_diag();
    EXPECT_EQ(run_round(rig, Plant()), kFirstRound);
    const std::string out = captured_diag();
    EXPECT_EQ(rig.rec.sent[0].frame, "~20014042E00201FD3B");
    EXPECT_EQ(rig.rec.sent[3].frame, "~200141420000FDB2");
    EXPECT_EQ(rig.dev->poll_step, 0);
    EXPECT_TRUE(rig.dev->data_ready);
    ASSERT_EQ(rig.rec.published.size(), 1u);
    const auto& d = rig.dev->data;
    EXPECT_EQ(d.channel_count, 1);
    EXPECT_EQ(d.channel[0].a.get(), 220.0f);
    EXPECT_EQ(d.channel[0].f.get(), 50.0f);
    EXPECT_EQ(d.airlock_count, 2);
    EXPECT_EQ(d.rc_out_v.get(), 54.0f);
    EXPECT_EQ(d.module[0].out_i.get(), 10.0f);
    EXPECT_EQ(d.module[0].p41_43[0], 5);
    EXPECT_EQ(d.module[0].p41_44_count, 7);
    EXPECT_FLOAT_EQ(d.dc(0).out_v.get(), 53.01f);
    EXPECT_EQ(d.ext_value[0].get(), 50.0f);
    EXPECT_EQ(d.ext_value[1].get(), 10.0f);
    EXPECT_EQ(rig.dev->no_dc_number, 2);
    EXPECT_NE(out.find("41_43 7 vs 7\n"), std::string::npos) << out;
    EXPECT_NE(out.find("pmbuspower_419 PMBUSPOWER_42_41 dc_number:1\n"), std::string::npos);
    EXPECT_NE(out.find("pmbuspower_419 PMBUSPOWER_42_44 dc_number:1\n"), std::string::npos);
    EXPECT_NE(out.find("80_42 m is 1\n80_42 m is 1\n"), std::string::npos);
}

TEST(PollCycle, DataflagDecidesStatusAndAlarmQueriesOnceReady) {
    Rig<> rig;
    Plant plant;
    run_round(rig, plant);
    rig.clock.advance(2);
    EXPECT_EQ(run_round(rig, plant), kSteadyRound);

    rig.clock.advance(2);
    plant.ac_analog[0] = 0x01;  // AC alarms changed: 40H/43H skipped, 40H/44H asked
    plant.rc_analog[0] = 0x10;  // rectifier states changed, alarms not
    plant.dc_analog[0] = 0x10;  // mask 11H: states alone still ask 42H/44H
    EXPECT_EQ(run_round(rig, plant), cmds({"40/42 01", "40/44 01", "41/42", "41/43", "42/42 01", "42/44", "80/42"}));
    EXPECT_EQ(rig.dev->rect_dataflag, 0x10);

    rig.clock.advance(2);
    plant = Plant();
    plant.ac_analog[0] = 0x10;
    plant.ac_status[0] = 0x00;  // the 40H/43H reply's own flag decides 40H/44H
    plant.rc_analog[0] = 0x01;
    EXPECT_EQ(run_round(rig, plant), cmds({"40/42 01", "40/43 01", "41/42", "41/44", "42/42 01", "80/42"}));
}

TEST(PollCycle, PlantWithoutAcOrDc) {
    Rig<> rig;
    rig.dev->has_ac = false;
    EXPECT_EQ(run_round(rig, Plant()), cmds({"41/42", "41/43", "41/44", "42/42 01", "42/44", "80/42"}));

    Rig<> no_dc;
    no_dc.dev->has_dc = false;
    EXPECT_EQ(run_round(no_dc, Plant()), cmds({"40/42 01", "40/43 01", "40/44 01", "41/42", "41/43", "41/44"}));
    EXPECT_EQ(no_dc.dev->poll_step, 10);
    EXPECT_EQ(no_dc.rec.published.size(), 1u);

    Rig<Base> base;                // floats, no DC by default
    base.dev->float_mode = false;  // answer with the fixed-point plant
    EXPECT_EQ(run_round(base, Plant()), cmds({"40/42 01", "40/43 01", "40/44 01", "41/42", "41/43", "41/44"}));
    EXPECT_EQ(base.dev->poll_step, 10);
}

TEST(PollCycle, DcRequestFormsByVersionAndMode) {
    Rig<> v21;
    v21.dev->protocol_ver = 0x21;
    const auto round = run_round(v21, Plant());
    ASSERT_EQ(round.size(), 9u);
    EXPECT_EQ(round[6], "42/42 01");
    EXPECT_EQ(round[7], "42/44 01");
    EXPECT_EQ(v21.rec.sent[0].frame.substr(0, 3), "~21");

    // Float mode at version 20H: the DC analog query goes without INFO.
    Rig<Base> base;
    base.dev->has_dc = true;
    base.dev->has_ac = false;
    base.dev->RefreshStatus();
    base.dev->poll_step = 6;
    base.reply(0x41, hex("00 00"));
    ASSERT_EQ(base.rec.sent.size(), 2u);
    EXPECT_EQ(base.rec.sent[1].cid2, 0x41);
    EXPECT_TRUE(base.rec.sent[1].info.empty());
}

// A round is its table: the protocol's rows in another order are walked the
// same way, a block the plant lacks skipped where the walk enters it, and the
// round ends after the last row asked.
TEST(PollCycle, RoundFollowsItsTable) {
    using P = tzv58::protocol_steps<Base>;
    static constexpr Base::poll_row dc_first[] = {P::DC_ANALOG, P::DC_ALARMS, P::RC_ANALOG, P::RC_STATES,
                                                  P::RC_ALARMS, P::AC_ANALOG, P::AC_STATES, P::AC_ALARMS};
    Rig<> rig;
    rig.dev->round_steps = dc_first;
    Plant plant;
    EXPECT_EQ(run_round(rig, plant),
              cmds({"42/42 01", "42/44", "41/42", "41/43", "41/44", "40/42 01", "40/43 01", "40/44 01"}));
    EXPECT_EQ(rig.dev->poll_step, 10);
    rig.clock.advance(2);
    plant.ac_analog[0] = 0x01;
    EXPECT_EQ(run_round(rig, plant), cmds({"42/42 01", "41/42", "40/42 01", "40/44 01"}));

    Rig<> rc_only;
    rc_only.dev->round_steps = dc_first;
    rc_only.dev->has_ac = false;
    rc_only.dev->has_dc = false;
    EXPECT_EQ(run_round(rc_only, Plant()), cmds({"41/42", "41/43", "41/44"}));
    EXPECT_EQ(rc_only.dev->poll_step, 10);
    EXPECT_EQ(rc_only.rec.published.size(), 1u);
}

TEST(PollCycle, DcLayoutDetection) {
    struct Case {
        const char* reply;
        int layout;
        float out_v;
    };
    // 48.00 straight after DATAFLAG: no count byte. 40.00 and 60.00 are not
    // inside the window, so a count byte is taken to come first.
    const Case cases[] = {
        {"00 12C0 09C4 00 00 00", 1, 48.0f},
        {"00 01 0FA0 09C4 00 00 00", 2, 40.0f},
        {"00 01 1770 09C4 00 00 00", 2, 60.0f},
    };
    for (const Case& c : cases) {
        Rig<> rig;
        Plant plant;
        plant.dc_analog = hex(c.reply);
        plant.dc_alarm = c.layout == 1 ? hex("00 00 00 00") : hex("00 01 00 00 00");
        run_round(rig, plant);
        EXPECT_EQ(rig.dev->no_dc_number, c.layout) << c.reply;
        EXPECT_FLOAT_EQ(rig.dev->data.dc(0).out_v.get(), c.out_v) << c.reply;
    }
    // A configured layout is never re-detected.
    Rig<> rig;
    rig.dev->no_dc_number = 0;
    Plant plant;
    plant.dc_analog = hex("00 01 12C0 09C4 00 00 00");
    run_round(rig, plant);
    EXPECT_EQ(rig.dev->no_dc_number, 0);
    EXPECT_FLOAT_EQ(rig.dev->data.dc(0).out_v.get(), 48.0f);
}

TEST(PollCycle, OneAndTwoDcUnits) {
    Rig<> rig;
    rig.dev->no_dc_number = 2;
    Plant plant;
    plant.dc_analog = hex("00 02  14B5 09C4 00 00 00  1388 0064 00 00 00");
    plant.dc_alarm = hex("00 02  01 00 00  02 00 00");
    run_round(rig, plant);
    const auto& d = rig.dev->data;
    EXPECT_FLOAT_EQ(d.dc(0).out_v.get(), 53.01f);
    EXPECT_FLOAT_EQ(d.dc(1).out_v.get(), 50.0f);
    EXPECT_FLOAT_EQ(d.dc(1).load_i.get(), 1.0f);
    EXPECT_EQ(d.dc(0).v_alarm, 1);
    EXPECT_EQ(d.dc(1).v_alarm, 2);

    // Count 1: only unit 1, even with bytes left over.
    Rig<> one;
    one.dev->no_dc_number = 2;
    plant.dc_analog[1] = 0x01;
    plant.dc_alarm[1] = 0x01;
    run_round(one, plant);
    EXPECT_FLOAT_EQ(one.dev->data.dc(0).out_v.get(), 53.01f);
    EXPECT_EQ(one.dev->data.dc(1).out_v.get(), 0.0f);
    EXPECT_EQ(one.dev->data.dc(1).v_alarm, 0);
}

TEST(PollCycle, VendorCountsSelectTheValuesTaken) {
    Rig<> rig;
    Plant plant;
    run_round(rig, plant);
    rig.clock.advance(2);
    plant.vendor = hex("00 01 0258 00 FFFF");  // first taken (60.0), second kept
    run_round(rig, plant);
    EXPECT_EQ(rig.dev->data.ext_value[0].get(), 60.0f);
    EXPECT_EQ(rig.dev->data.ext_value[1].get(), 10.0f);
}

TEST(PollCycle, RefreshPacingAroundRoundEnd) {
    Rig<> rig;
    run_round(rig, Plant());
    rig.rec.sent.clear();
    rig.dev->sp_step = 0;
    rig.clock.advance(1);  // exactly one whole second: declined
    EXPECT_EQ(rig.dev->RefreshStatus(), 0);
    EXPECT_EQ(rig.dev->sp_step, 10);
    EXPECT_TRUE(rig.rec.sent.empty());
    rig.clock.advance(-2);  // one whole second before the end: declined too
    EXPECT_EQ(rig.dev->RefreshStatus(), 0);
    rig.clock.advance(3);  // two seconds after the end
    EXPECT_EQ(rig.dev->RefreshStatus(), 1);
    EXPECT_EQ(rig.rec.sent.size(), 1u);
}

// A clock set back (by hand, or by a time server after a controller booted
// with a wrong clock) does not stop polling for as long as the step.
TEST(PollCycle, ClockStepsBackAndForthKeepThePace) {
    Rig<> rig;
    ASSERT_EQ(run_round(rig, Plant()), kFirstRound);
    for (long step : {-600L, -3L, -7200L, 3600L}) {
        rig.clock.advance(step);
        EXPECT_EQ(run_round(rig, Plant()), kSteadyRound) << "after a step of " << step << " s";
        rig.clock.advance(1);  // within a second of that round's end: declined
        EXPECT_EQ(rig.dev->RefreshStatus(), 0) << "after a step of " << step << " s";
    }
}

TEST(PollCycle, CacheLoadCountsAsARound) {
    Rig<> rig;
    EXPECT_TRUE(rig.dev->LoadFromCache(std::vector<uint8_t>(1257).data(), 1257));
    EXPECT_EQ(rig.dev->RefreshStatus(), 0);
    EXPECT_EQ(rig.dev->sp_step, 10);
    rig.clock.advance(2);
    EXPECT_EQ(rig.dev->RefreshStatus(), 1);
}

TEST(PollCycle, HostRefusalChangesNothing) {
    Rig<> rig;
    ASSERT_EQ(rig.dev->RefreshStatus(), 1);  // a reply is now awaited
    rig.dev->poll_step = 77;
    rig.dev->sp_step = 3;
    EXPECT_EQ(rig.dev->RefreshStatus(), 0);
    EXPECT_EQ(rig.dev->poll_step, 77);
    EXPECT_EQ(rig.dev->sp_step, 3);
    EXPECT_EQ(rig.rec.sent.size(), 1u);
}

TEST(PollCycle, RepliesOutsideThePollSteps) {
    Rig<Base> base;
    base.dev->poll_step = 10;
    base.reply(0x41, hex("00"));
    EXPECT_EQ(base.dev->ctrl_result, 1);
    EXPECT_TRUE(base.rec.sent.empty());

    // The model ends its rounds at step 0: a stray reply is an AC analog reply.
    Rig<> model;
    Plant plant;
    run_round(model, plant);
    model.rec.sent.clear();
    model.reply(0x40, plant.ac_analog);
    EXPECT_EQ(model.dev->ctrl_result, -1);
    EXPECT_EQ(model.dev->poll_step, 4);
    ASSERT_EQ(model.rec.sent.size(), 1u);
    EXPECT_EQ(model.rec.sent[0].cid1, 0x41);
}

TEST(PollCycle, RejectedAcAnalogReplyHoldsTheRound) {
    Rig<> rig;
    rig.dev->RefreshStatus();
    rig.rec.sent.clear();
    rig.reply(0x40, hex("00 01 5622"));  // cut short: the decoder refuses it
    EXPECT_EQ(rig.dev->poll_step, 0);
    EXPECT_TRUE(rig.rec.sent.empty());
    rig.reply(0x40, hex(""));  // no DATAFLAG at all: the same
    EXPECT_EQ(rig.dev->poll_step, 0);
    EXPECT_TRUE(rig.rec.sent.empty());
}

// Replies too short for the fixed positions a step reads: nothing beyond
// INFO is read, missing fields are not decoded, and the round goes on.
TEST(PollCycle, ShortRepliesReadNothingBeyondInfo) {
    Rig<> rig;
    Plant plant;
    plant.rc_analog = hex("");
    plant.dc_analog = hex("00");
    plant.dc_alarm = hex("00");
    plant.vendor = hex("00 01 01");
    capture_diag();
    EXPECT_EQ(run_round(rig, plant), kFirstRound);
    const std::string out = captured_diag();
    EXPECT_EQ(rig.dev->poll_step, 0);
    EXPECT_EQ(rig.dev->no_dc_number, -1);  // nothing to detect from
    EXPECT_EQ(rig.dev->data.ext_value[0].get(), 0.0f);
    EXPECT_NE(out.find("41_43 0 vs -1\n"), std::string::npos);
    EXPECT_EQ(out.find("dc_number:"), std::string::npos);
    EXPECT_NE(out.find("80_42 m is 1\n"), std::string::npos);
    EXPECT_EQ(out.find("80_42 m is 1\n80_42"), std::string::npos);
}

TEST(PollCycle, BadUnitOneLeavesUnitTwoAlone) {
    Rig<> rig;
    rig.dev->no_dc_number = 2;
    Plant plant;
    plant.dc_analog = hex("00 02 14B5 09C4 05");  // unit 1 runs out: -1
    plant.dc_alarm = hex("00 02 01 09");          // likewise
    run_round(rig, plant);
    EXPECT_EQ(rig.dev->data.dc(1).out_v.get(), 0.0f);
    EXPECT_EQ(rig.dev->data.dc(1).v_alarm, 0);
    EXPECT_EQ(rig.dev->data.dc(1).m, 0);
}

TEST(RoundDone, CallOrderAndPublishedImage) {
    Rig<> rig;
    rig.clock.set(at("2026-12-07 19:37:00"));
    rig.dev->ao_names = {"ao_1", "missing", "ao_2"};
    rig.dev->ao_values = {{"ao_1", 1.5f}, {"ao_2", 2.5f}};
    rig.rec.ao_results = {{"ao_1", true}, {"ao_2", false}};
    rig.dev->rule_values.resize(2);
    rig.dev->b_mode_ = 2;  // no checks report without thresholds
    capture_diag();
    rig.dev->RoundDone();
    EXPECT_EQ(captured_diag(), "rvSize is 2\n");
    const std::vector<std::string> want = {
        "publish", "reset",  "ao_report ao_1", "check_threshold ao_1||1", "ao_report ao_2", "check_threshold ao_2||1",
        "batch 2", "history"};
    EXPECT_EQ(rig.rec.calls, want);
    EXPECT_TRUE(rig.dev->alarm_changed);  // true from ao_1 survives ao_2's false
    EXPECT_TRUE(rig.dev->rule_values.empty());
    EXPECT_EQ(rig.dev->check_seq, 1);
    EXPECT_EQ(rig.rec.publish_type, 5535);
    const auto* img = rig.dev->record_bytes();
    ASSERT_EQ(rig.rec.published[0].size(), 1257u);
    EXPECT_EQ(rig.rec.published[0], std::vector<uint8_t>(img, img + 1257));
    EXPECT_EQ(rig.rec.history[0], rig.rec.published[0]);
    EXPECT_EQ(to_hex(std::vector<uint8_t>(img + 1046, img + 1053)), "EA070C07132500");
    EXPECT_EQ(rig.dev->last_update, at("2026-12-07 19:37:00"));
}

TEST(RoundDone, BatchResultAloneSetsAlarmChanged) {
    Rig<> rig;
    rig.dev->b_mode_ = 0;
    rig.rec.batch_result = true;
    rig.dev->alarm_changed = false;
    rig.dev->RoundDone();
    EXPECT_TRUE(rig.dev->alarm_changed);
}

TEST(LoadFromCache, TakesExactlyOneRecordImage) {
    Rig<> rig;
    std::vector<uint8_t> blob(1257);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i * 13 + 1);
    std::vector<uint8_t> shorter(blob.begin(), blob.end() - 1);
    std::vector<uint8_t> longer(blob);
    longer.push_back(0);
    EXPECT_FALSE(rig.dev->LoadFromCache(shorter.data(), int(shorter.size())));
    EXPECT_FALSE(rig.dev->LoadFromCache(longer.data(), int(longer.size())));
    EXPECT_FALSE(rig.dev->LoadFromCache(nullptr, 1257));
    EXPECT_FALSE(rig.dev->data_ready);
    EXPECT_TRUE(rig.rec.published.empty());

    rig.dev->b_mode_ = 0;
    rig.clock.set(at("2026-12-07 19:37:00"));
    EXPECT_TRUE(rig.dev->LoadFromCache(blob.data(), 1257));
    EXPECT_TRUE(rig.dev->data_ready);
    ASSERT_EQ(rig.rec.published.size(), 1u);
    std::vector<uint8_t> want = blob;  // byte for byte, but stamped now
    const auto stamp = hex("EA 07 0C 07 13 25 00");
    std::copy(stamp.begin(), stamp.end(), want.begin() + 1046);
    EXPECT_EQ(rig.rec.published[0], want);
}
