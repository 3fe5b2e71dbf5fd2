// The README, held to what it describes: its examples run as written, the forms of its commands
// name only options the commands have, its layout table names the tree's folders, and what it
// links to exists.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/run_tool.h"

namespace {

const std::string kSource = BAYERCAM_SOURCE_DIR;

std::string Readme() {
    std::ifstream in(kSource + "/README.md");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Block {
    std::string info;                // what follows the opening fence: "sh", "sh tested"
    std::vector<std::string> lines;  // a line indented under the one before is joined to it
};

std::vector<Block> FencedBlocks(const std::string& text) {
    std::vector<Block> blocks;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.rfind("```", 0) == 0) {
            inside = !inside;
            if (inside)
                blocks.push_back({line.substr(3), {}});
            continue;
        }
        if (!inside || line.empty())
            continue;
        std::vector<std::string>& lines = blocks.back().lines;
        if (line[0] == ' ' && !lines.empty())
            lines.back() += " " + line.substr(line.find_first_not_of(' '));
        else
            lines.push_back(line);
    }
    return blocks;
}

bool Exists(const std::string& path, bool folder) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) == folder);
}

// Every line of the blocks marked `sh tested`, in order, in one fresh folder, as a person would
// type it with the built program on the PATH and a registry of the folder's own.
TEST(Readme, ExamplesRunAsWritten) {
    char folder[] = "/tmp/bayercam-readme-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string tool = BAYERCAM_TOOL;
    const std::string bin = tool.substr(0, tool.rfind('/'));
    int commands = 0;
    for (const Block& block : FencedBlocks(Readme())) {
        if (block.info != "sh tested")
            continue;
        for (const std::string& line : block.lines) {
            commands += line.rfind("bayercam ", 0) == 0;
            std::ofstream(dir + "/line.sh") << line << "\n";
            const std::string run = "cd " + dir + " && PATH=" + bin +
                                    ":$PATH XDG_STATE_HOME=" + dir +
                                    "/state sh -e line.sh > line.log 2>&1";
            const int status = std::system(run.c_str());
            std::ifstream log(dir + "/line.log");
            std::stringstream said;
            said << log.rdbuf();
            EXPECT_EQ(status, 0) << line << "\n" << said.str();
        }
    }
    EXPECT_GE(commands, 10) << "the README's examples were not found";
    std::system(("rm -rf " + dir).c_str());
}

// The forms (`bayercam stream [--frames N] ...`) are not run, but each option they name is one
// the command lists in its help, and each make target they name exists.
TEST(Readme, FormsNameOnlyWhatExists) {
    const std::regex option("--[a-z][a-z0-9-]*");
    int forms = 0;
    for (const Block& block : FencedBlocks(Readme())) {
        if (block.info != "sh")
            continue;
        for (const std::string& line : block.lines) {
            if (line.rfind("make ", 0) == 0) {
                std::string target = line.substr(0, line.find('#'));
                EXPECT_EQ(std::system(("make -n -C " + kSource + " " + target.substr(5) +
                                       " > /dev/null 2>&1")
                                          .c_str()),
                          0)
                    << line;
                continue;
            }
            if (line.rfind("bayercam ", 0) != 0)
                continue;
            ++forms;
            std::string command = line.substr(9, line.find(' ', 9) - 9);
            std::string help = RunTool(command + " --help").out;
            for (std::sregex_iterator o(line.begin(), line.end(), option), end; o != end; ++o) {
                std::regex listed(o->str() + "([^a-z0-9-]|$)");
                EXPECT_TRUE(std::regex_search(help, listed))
                    << "bayercam " << command << " has no " << o->str();
            }
        }
    }
    EXPECT_GE(forms, 6) << "the README's command forms were not found";
}

TEST(Readme, LayoutTableNamesEveryTopLevelFolder) {
    const std::string text = Readme();
    const size_t layout = text.find("\n## Layout\n");
    ASSERT_NE(layout, std::string::npos);
    const std::string table = text.substr(layout, text.find("\n## ", layout + 1) - layout);
    std::set<std::string> named;
    const std::regex row("\n\\| `([^`/]+)/` \\|");
    for (std::sregex_iterator r(table.begin(), table.end(), row), end; r != end; ++r)
        named.insert((*r)[1]);

    // The tree's folders, less the hidden ones and what builds and the demo leave behind.
    std::set<std::string> folders;
    DIR* dir = opendir(kSource.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && name != "build" && name != "out" &&
            Exists(kSource + "/" + name, true))
            folders.insert(name);
    }
    closedir(dir);
    EXPECT_EQ(named, folders);
}

TEST(Readme, LinkedFilesExist) {
    const std::string text = Readme();
    const std::regex link("\\]\\(([^):#]+)\\)");
    int links = 0;
    for (std::sregex_iterator l(text.begin(), text.end(), link), end; l != end; ++l, ++links)
        EXPECT_TRUE(Exists(kSource + "/" + (*l)[1].str(), false)) << (*l)[1];
    EXPECT_GE(links, 1);
}

}  // namespace
