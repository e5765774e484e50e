// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/SimOptions.h"

#include <gtest/gtest.h>

namespace {

using namespace VarnelSim;

TEST(SimOptionsTest, ReadsEveryOption)
{
    TSimOptions options;
    std::string message;
    ASSERT_EQ(ParseSimOptions({"--description",         "KWTP Bench",   "--scope-rate",  "7680",
                               "--scope-pattern=ramp",  "--scope-only", "--samples",     "1000",
                               "--scope-after-command", "--no-pacing",  "--noise",       "0.01",
                               "--drop-after",          "2.5",          "--seed",        "42",
                               "--timestamps",          "/tmp/t.txt",   "--knock-every", "30",
                               "--drift=2.5",           "--keep-state"},
                              options, message),
              _po_run)
        << message;
    EXPECT_EQ(options.Description, "KWTP Bench");
    EXPECT_EQ(options.Model.ScopeRate, 7680u);
    EXPECT_EQ(options.Model.ScopePattern, _sp_ramp);
    EXPECT_TRUE(options.Model.ScopeOnly);
    EXPECT_EQ(options.Model.SampleLimit, 1000u);
    EXPECT_TRUE(options.Model.ScopeAfterCommand);
    EXPECT_FALSE(options.Pacing);
    EXPECT_DOUBLE_EQ(options.Model.Noise, 0.01);
    EXPECT_DOUBLE_EQ(options.DropAfterSeconds.value_or(-1), 2.5);
    EXPECT_EQ(options.Model.Seed, 42u);
    EXPECT_EQ(options.TimestampsFile, "/tmp/t.txt");
    EXPECT_DOUBLE_EQ(options.Model.KnockEverySeconds, 30.0);
    EXPECT_DOUBLE_EQ(options.Model.DriftPercentPerMinute, 2.5);
    EXPECT_TRUE(options.Model.KeepState);
    EXPECT_TRUE(message.empty());
}

TEST(SimOptionsTest, RefusesBadOptions)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--scope-rate", "fast"},
        {"--scope-rate", "-5"},
        {"--scope-rate"},
        {"--noise", "1.5"},
        {"--noise", "nan"},
        {"--drop-after", "-1"},
        {"--samples", "0"},
        {"--scope-pattern", "sine"},
        {"--description", std::string(64, 'K')},
        {"--description", "../KWTP"},
        {"--description", ""},
        {"--no-pacing=yes"},
        {"--frobnicate"},
        {"--knock-every", "0"},
        {"--knock-every", "inf"},
        {"--knock-every"},
        {"--drift", "-1"},
        {"--drift", "nan"},
        {"--keep-state=1"},
        {"--", "--scope-only"}, // varnel-sim runs no command
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
        TSimOptions options;
        std::string message;
        EXPECT_EQ(ParseSimOptions(args, options, message), _po_error);
        EXPECT_FALSE(message.empty());
    }
}

TEST(SimOptionsTest, HelpAndUnlistedDescription)
{
    TSimOptions options;
    std::string message;
    EXPECT_EQ(ParseSimOptions({"--help"}, options, message), _po_help);
    EXPECT_NE(SimUsage().find("--drop-after"), std::string::npos);

    // Allowed (the console's filter can be tested with it), but the user is told.
    EXPECT_EQ(ParseSimOptions({"--description", std::string(63, 'x')}, options, message), _po_run);
    EXPECT_NE(message.find("KWTP"), std::string::npos);
}

// varnel-usb-sim's command line: the shared options, its own, and the
// command after "--", which is not parsed.
TEST(SimOptionsTest, SharedParserHandsOnOtherOptionsAndStopsAtTheCommand)
{
    struct TCase
    {
        std::vector<std::string> Args;
        TParseOutcome Outcome;
        std::vector<std::string> Bridges;
        std::size_t Rest;
    };
    const std::vector<TCase> cases = {
        {{"--bridge", "KWTP A", "--samples", "5", "--bridge=KWTP B", "--", "varnel", "--bridge",
          "x"},
         _po_run,
         {"KWTP A", "KWTP B"},
         6},
        {{"--drift", "3", "--knock-every", "20", "--", "--help"}, _po_run, {}, 5},
        {{"--no-pacing"}, _po_run, {}, 1},
        {{"--bridge"}, _po_error, {}, 1},
        {{"--description", "KWTP A", "--", "varnel"}, _po_error, {}, 0},
        {{"--help", "--", "varnel"}, _po_help, {}, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Args.front());
        TSimOptions options;
        std::vector<std::string> bridges;
        auto usb = [&](const TOptionArg& option, std::string&) {
            std::string value;
            if (option.Name != "--bridge")
                return _ot_unknown;
            if (!option.Value(value))
                return _ot_error;
            bridges.push_back(value);
            return _ot_taken;
        };
        std::string message;
        std::size_t rest = 0;
        EXPECT_EQ(ParseSharedSimOptions(c.Args, options, message, usb, &rest), c.Outcome)
            << message;
        EXPECT_EQ(bridges, c.Bridges);
        if (c.Outcome == _po_run)
            EXPECT_EQ(rest, c.Rest);
        else
            EXPECT_EQ(message.empty(), c.Outcome == _po_help);
    }
}

} // namespace
