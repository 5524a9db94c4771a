// The program's folders include one another one way only: the engine, the widgets and the small
// helpers at the bottom, the tag texts on the engine's header, then playback and the tools, then
// the window (ui), then app at the top; outside the engine only its public header is included. And
// no file reaches itself through its includes. The source tree is read as text;
// VELMORA_SOURCE_ROOT in the environment checks another tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Each folder of the program and its level: a file may include files of its own folder and of
// folders of a lower level only.
const std::vector<std::pair<std::string, int>> kFolders = {
    {"engine", 0}, {"widgets/levelbar", 0}, {"diag", 0},  {"text", 0},
    {"tags", 1},   {"playback", 2},         {"tools", 2}, {"ui", 3},
    {"app", 4},
};

// The engine's inside, which only the engine itself includes.
const std::string kEnginePrivate = "engine/src/";

// Where a quoted include is looked for after the including file's own folder.
const std::vector<std::string> kIncludeRoots = {"", "engine", "engine/src"};

fs::path SourceRoot() {
    if (const char* root = std::getenv("VELMORA_SOURCE_ROOT")) return root;
    return VELMORA_SOURCE_DIR;
}

std::optional<std::pair<std::string, int>> FolderOf(const std::string& file) {
    for (const auto& folder : kFolders)
        if (file.rfind(folder.first + "/", 0) == 0) return folder;
    return std::nullopt;
}

// The program's files (relative paths) and, for each, the program files it includes.
using IncludeGraph = std::map<std::string, std::vector<std::string>>;

IncludeGraph ReadIncludes(const fs::path& root) {
    IncludeGraph graph;
    const std::regex include(R"(^\s*#\s*include\s*"([^"]+)\")");
    for (const auto& [folder, level] : kFolders) {
        (void)level;
        if (!fs::is_directory(root / folder)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const auto ext = entry.path().extension();
            if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            const std::string file = fs::relative(entry.path(), root).generic_string();
            auto& targets = graph[file];
            std::ifstream in(entry.path());
            std::smatch match;
            for (std::string line; std::getline(in, line);) {
                if (!std::regex_search(line, match, include)) continue;
                std::vector<fs::path> candidates = {entry.path().parent_path() / match[1].str()};
                for (const auto& dir : kIncludeRoots)
                    candidates.push_back(root / dir / match[1].str());
                for (const auto& candidate : candidates) {
                    if (!fs::is_regular_file(candidate)) continue;
                    const std::string target =
                        fs::relative(fs::canonical(candidate), fs::canonical(root))
                            .generic_string();
                    if (FolderOf(target)) targets.push_back(target);
                    break;
                }
            }
        }
    }
    return graph;
}

// Every include across a wall, as "file includes target".
std::vector<std::string> WallBreaches(const IncludeGraph& graph) {
    std::vector<std::string> breaches;
    for (const auto& [file, targets] : graph) {
        const auto from = FolderOf(file);
        for (const std::string& target : targets) {
            const auto to = FolderOf(target);
            const bool enginePrivate =
                target.rfind(kEnginePrivate, 0) == 0 && from->first != "engine";
            if (enginePrivate || (from->first != to->first && to->second >= from->second))
                breaches.push_back(file + " includes " + target);
        }
    }
    return breaches;
}

TEST(Walls, NoIncludeRunsUpwardOrSidewaysOrIntoTheEngine) {
    const IncludeGraph graph = ReadIncludes(SourceRoot());
    ASSERT_GT(graph.size(), 20u) << "no program files under " << SourceRoot();
    for (const char* folder : {"tags/", "tools/", "ui/"})
        EXPECT_TRUE(std::any_of(graph.begin(), graph.end(),
                                [&](const auto& f) { return f.first.rfind(folder, 0) == 0; }))
            << "no files read under " << folder;
    for (const std::string& breach : WallBreaches(graph))
        ADD_FAILURE() << breach << ": a folder includes only folders below it";
}

TEST(Walls, EachKindOfBreachIsFound) {
    const fs::path root = fs::temp_directory_path() / ("walls-" + std::to_string(getpid()));
    const std::map<std::string, std::string> files = {
        {"engine/audioengine.h", ""},
        {"engine/src/stream.h", ""},
        {"playback/player.h", "#include \"audioengine.h\"\n"},
        {"ui/window.h", "#include \"stream.h\"\n"},
        {"tags/tagtext.h", "#include \"playback/player.h\"\n"},
        {"tools/aeplay.cpp", "#include \"ui/window.h\"\n#include \"audioengine.h\"\n"},
    };
    for (const auto& [file, text] : files) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    }
    const std::vector<std::string> breaches = WallBreaches(ReadIncludes(root));
    fs::remove_all(root);
    EXPECT_EQ(breaches, (std::vector<std::string>{"tags/tagtext.h includes playback/player.h",
                                                  "tools/aeplay.cpp includes ui/window.h",
                                                  "ui/window.h includes engine/src/stream.h"}));
}

// Depth-first search; a file met again while it is still on the path closes a circle.
class CircleFinder {
  public:
    explicit CircleFinder(const IncludeGraph& graph) : graph_(graph) {}
    std::vector<std::string> find() {
        for (const auto& [file, targets] : graph_) {
            (void)targets;
            if (visit(file)) return circle_;
        }
        return {};
    }

  private:
    bool visit(const std::string& file) {
        if (done_.count(file)) return false;
        const auto onPath = std::find(path_.begin(), path_.end(), file);
        if (onPath != path_.end()) {
            circle_.assign(onPath, path_.end());
            circle_.push_back(file);
            return true;
        }
        path_.push_back(file);
        const auto targets = graph_.find(file);
        if (targets != graph_.end())
            for (const std::string& target : targets->second)
                if (visit(target)) return true;
        path_.pop_back();
        done_.insert(file);
        return false;
    }

    const IncludeGraph& graph_;
    std::vector<std::string> path_;
    std::set<std::string> done_;
    std::vector<std::string> circle_;
};

TEST(Walls, NoIncludeCircle) {
    const std::vector<std::string> circle = CircleFinder(ReadIncludes(SourceRoot())).find();
    std::string text;
    for (const std::string& file : circle) text += (text.empty() ? "" : " -> ") + file;
    EXPECT_TRUE(circle.empty()) << "include circle: " << text;
}

}  // namespace
