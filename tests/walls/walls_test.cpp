// The program's folders include one another one way only: the engine, the widgets and the small
// helpers at the bottom, the tag texts on the engine's header, then playback, then the window (ui),
// then app at the top. And no file reaches itself through its includes. The source tree is read as
// text; VELMORA_SOURCE_ROOT in the environment checks another tree.
#include <gtest/gtest.h>

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
    {"engine", 0}, {"widgets/levelbar", 0}, {"diag", 0}, {"text", 0}, {"playback", 2}, {"ui", 3},
    {"app", 4},
};

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

TEST(Walls, NoIncludeRunsUpwardOrSideways) {
    const IncludeGraph graph = ReadIncludes(SourceRoot());
    ASSERT_GT(graph.size(), 20u) << "no program files under " << SourceRoot();
    for (const auto& [file, targets] : graph) {
        const auto from = FolderOf(file);
        for (const std::string& target : targets) {
            const auto to = FolderOf(target);
            if (from->first == to->first) continue;
            EXPECT_LT(to->second, from->second)
                << file << " includes " << target << ": " << from->first
                << " may include only folders below it";
        }
    }
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
