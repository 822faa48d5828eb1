// Script parsing and command splitting.
#include <gtest/gtest.h>

#include "SandboxHost.h"
#include "Script.h"

using namespace sandbox;

TEST(SandboxScript, ParsesEveryStepForm)
{
    const std::string source = "# register\n"
                               "\n"
                               "  frames 3\n"
                               "click Create Confirmation/Yes\n"
                               "doubleclick row 2\n"
                               "type ##titleBuff Duo for ranked\n"
                               "type \"My Field\" \"  spaced  \"\n"
                               "wait-log Invite request from Epic|1|0 12.5\n"
                               "wait Request Invite/Yes 3\n"
                               "console cl_notifications_enabled_beta 0\n"
                               "event Function ProjectX.Parties_X.HandleUserJoined\n"
                               "screenshot out.png\n"
                               "sleep 0.25\n";
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(parseScript(source, steps, error)) << error;
    ASSERT_EQ(steps.size(), 11u);
    EXPECT_EQ(steps[0].verb, "frames");
    EXPECT_EQ(steps[0].count, 3);
    EXPECT_EQ(steps[0].line, 3);
    EXPECT_EQ(steps[1].target, "Create Confirmation/Yes");
    EXPECT_EQ(steps[2].target, "row 2");
    EXPECT_EQ(steps[3].target, "##titleBuff");
    EXPECT_EQ(steps[3].text, "Duo for ranked");
    EXPECT_EQ(steps[4].target, "My Field");
    EXPECT_EQ(steps[4].text, "  spaced  ");
    EXPECT_EQ(steps[5].text, "Invite request from Epic|1|0");
    EXPECT_DOUBLE_EQ(steps[5].seconds, 12.5);
    EXPECT_EQ(steps[6].target, "Request Invite/Yes");
    EXPECT_EQ(steps[7].text, "cl_notifications_enabled_beta 0");
    EXPECT_EQ(steps[8].text, "Function ProjectX.Parties_X.HandleUserJoined");
    EXPECT_DOUBLE_EQ(steps[10].seconds, 0.25);
}

TEST(SandboxScript, ReportsTheFirstBadLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"frames 1\nfly away\n", "line 2: unknown step \"fly\""},
        {"wait-log only text\n", "line 1: wait-log wants a text and seconds"},
        {"wait ##Refresh -1\n", "line 1: wait wants a target and seconds"},
        {"frames -4\n", "line 1: frames wants a count"},
        {"type \"unterminated text\n", "line 1: type: unterminated quote"},
        {"type ##titleBuff\n", "line 1: type wants a target and a text"},
        {"click\n", "line 1: click wants a target"},
        {"sleep forever\n", "line 1: sleep wants seconds"},
    };
    for (const auto& [source, expected] : cases) {
        std::vector<Step> steps{Step{}};
        std::string error;
        EXPECT_FALSE(parseScript(source, steps, error)) << source;
        EXPECT_EQ(error, expected);
        EXPECT_EQ(steps.size(), 1u) << "steps are left alone on failure";
    }
}

TEST(SandboxScript, CommandsSplitOnBlanksWithQuotes)
{
    EXPECT_EQ(splitCommand("  bind   F5 togglemenu CRW "),
              (std::vector<std::string>{"bind", "F5", "togglemenu", "CRW"}));
    EXPECT_EQ(splitCommand("say \"two words\" \"\""), (std::vector<std::string>{"say", "two words", ""}));
    EXPECT_TRUE(splitCommand(" \t ").empty());
}
