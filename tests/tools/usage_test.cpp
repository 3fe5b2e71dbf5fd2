// The command line as a whole: every misuse ends with status 2 and says what was wrong, and
// every command explains its options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/run_tool.h"

namespace {

struct Misuse {
    const char* arguments;
    const char* says;  // a fragment of the message on standard error
};

TEST(Usage, EveryMisuseIsStatusTwoWithTheReason) {
    const Misuse cases[] = {
        {"", "Usage: bayercam"},  // no command: the help, as an error
        {"frobnicate", "no command 'frobnicate'"},
        {"--frobnicate", "--frobnicate"},
        {"help frobnicate", "no command 'frobnicate'"},
        {"info --frobnicate", "bayercam info: The following argument was not expected"},
        {"info stray", "bayercam info: The following argument was not expected: stray"},
        {"info --roi", "bayercam info: --roi"},
        {"info --roi 1,2,3", "--roi: At least 4"},
        {"info --roi 1,2,3,4,5", "--roi: At Most 4"},
        {"info --roi 1,2,3,4 stray", "not expected: stray"},
        {"info --roi 1,x,3,4", "'x' is not a whole number"},
        {"info --roi 1,2,3,2147483648", "2147483648 is outside [-2147483648 - 2147483647]"},
        {"trace --frames 0", "--frames: 0 is outside [1 - 100000]"},
        {"trace --frames 100001", "100001 is outside [1 - 100000]"},
        {"trace --frames ten", "'ten' is not a whole number"},
        {"trace --frames 1.5", "'1.5' is not a whole number"},
        {"trace --frames", "bayercam trace: --frames"},
        {"trace --timeout -1", "-1 is outside [0 - 4294967295]"},
        {"trace --timeout 4294967296", "4294967296 is outside"},
        {"trace --fault gremlins", "chunk-refused"},  // the choices are listed
        {"trace --fault chunk-error:0", "'0' is not a frame count in [1 - 1000000]"},
        {"trace --fault no-frame@1.01", "'1.01' is not a probability in [0 - 1]"},
        {"trace --fault two-pipes:2", "'two-pipes' is on or off only"},
        {"props --fault lost-reply:x", "'x' is not a frame count"},
        {"trace --unpaced extra", "not expected: extra"},
        {"convert --width 0 --synthetic chart a.png", "--width: 0 is outside [1 - 8192]"},
        {"convert --height 8193 --synthetic chart a.png", "--height: 8193 is outside"},
        {"convert --offset -1 --synthetic chart a.png", "--offset: -1 is outside"},
        {"convert --row-step 0 --synthetic chart a.png", "--row-step: 0 is outside"},
        {"convert --row-step 655 --synthetic chart a.png",
         "--row-step: 655 is below the width 656"},
        {"convert --row-step 4294967295 --synthetic chart a.png", "larger than 1 GiB"},
        {"convert --phase rgb --synthetic chart a.png", "--phase: rgb not in"},
        {"convert --gains 1,2 --synthetic chart a.png", "--gains: At least 3"},
        {"convert --gains 1,2,b --synthetic chart a.png", "'b' is not a whole number"},
        {"convert --synthetic chart --gains 1,2,3 a.png b.png", "expected only OUTPUT"},
        {"convert --brightness 4294967296 --synthetic chart a.png", "does not fit 32 bits"},
        {"convert --hue", "bayercam convert: --hue"},
        {"convert in.raw", "nothing to do"},
        {"convert", "expected INPUT.raw and OUTPUT"},
        {"convert a.raw b.png c.png", "expected INPUT.raw and OUTPUT"},
        {"convert --synthetic chart a.png b.png", "expected only OUTPUT with --synthetic"},
        {"convert --synthetic chart a.jpg", "must end in .png or .bgra"},
        {"view --port 65536", "--port: 65536 is outside [0 - 65535]"},
        {"view --port http", "'http' is not a whole number"},
        {"view --scene nowhere", "'nowhere' is neither a scene (bars, chart, zoneplate)"},
        {"view --fault gremlins", "chunk-refused"},
        {"view stray", "bayercam view: The following argument was not expected: stray"},
    };
    for (const Misuse& m : cases) {
        ToolRun run = RunTool(m.arguments);
        EXPECT_EQ(run.exitCode, 2) << m.arguments << "\n" << run.err;
        EXPECT_NE(run.err.find(m.says), std::string::npos) << m.arguments << ": " << run.err;
        EXPECT_EQ(run.out, "") << m.arguments << ": a refused command prints nothing else";
    }
}

struct HelpCase {
    const char* arguments;
    std::vector<const char*> shows;
};

TEST(Usage, HelpListsEachCommandsOptionsWithRangesAndDefaults) {
    const HelpCase cases[] = {
        {"--help", {"convert", "info", "trace", "view", "Exit status"}},
        {"view --help",
         {"--port", "[0 - 65535]=8656", "--registry", "--scene", "--fault", "--json"}},
        {"help", {"convert", "info", "trace"}},
        {"info --help", {"--roi", "--json"}},
        {"help info", {"--roi", "--json"}},
        {"trace -h",
         {"--frames", "[1 - 100000]=1", "--timeout", "=3000", "--fault", "no-frame", "--unpaced",
          "--json"}},
        {"convert --help",
         {"--width",
          "[1 - 8192]=656",
          "--height",
          "=494",
          "--phase",
          "=rggb",
          "--offset",
          "--row-step",
          "--gains",
          "[128,128,128]",
          "--color-correction",
          "--brightness",
          "clamped to [0 - 510]=255",
          "--contrast",
          "--saturation",
          "--hue",
          "--grey",
          "--auto-white-balance",
          "--json",
          "--synthetic"}},
    };
    for (const HelpCase& h : cases) {
        ToolRun run = RunTool(h.arguments);
        EXPECT_EQ(run.exitCode, 0) << h.arguments << ": " << run.err;
        for (const char* text : h.shows)
            EXPECT_NE(run.out.find(text), std::string::npos) << h.arguments << ": " << text;
    }
}

TEST(Usage, VersionIsPrinted) {
    ToolRun run = RunTool("--version");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("bayercam ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find_first_of("0123456789"), std::string::npos) << run.out;
}

}  // namespace
