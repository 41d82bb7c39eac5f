// The module's units (a .cpp with its header of the same name) include one
// another in one direction only: the records at the bottom, the activation at
// the top. The stand-in host's folders do too, in the order host/README.md
// lists them. Read from the sources, so that a new include that closes a
// cycle or climbs a folder fails here rather than in the next person's
// change.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Graph = std::map<std::string, std::set<std::string>>;

// Unit -> the other units whose headers it includes, from module/*.h, *.cpp.
Graph ReadIncludes(const fs::path &dir) {
  Graph graph;
  const std::regex include(R"(^\s*#\s*include\s*"(\w+)\.h")");
  for (const auto &file : fs::directory_iterator(dir)) {
    const std::string extension = file.path().extension().string();
    if (extension != ".h" && extension != ".cpp") continue;
    const std::string unit = file.path().stem().string();
    graph[unit];
    std::ifstream in(file.path());
    for (std::string line; std::getline(in, line);) {
      std::smatch match;
      if (!std::regex_search(line, match, include)) continue;
      const std::string to = match[1];
      if (to != unit && fs::exists(dir / (to + ".h"))) graph[unit].insert(to);
    }
  }
  return graph;
}

// A cycle as "a -> b -> a", or "" when there is none.
std::string FindCycle(const Graph &graph) {
  std::map<std::string, int> state; // 0 unseen, 1 on the path, 2 done
  std::vector<std::string> path;
  std::string cycle;
  std::function<bool(const std::string &)> visit = [&](const std::string &unit) {
    state[unit] = 1;
    path.push_back(unit);
    for (const std::string &next : graph.at(unit)) {
      if (state[next] == 1) {
        auto from = std::find(path.begin(), path.end(), next);
        for (auto it = from; it != path.end(); ++it) cycle += *it + " -> ";
        cycle += next;
        return true;
      }
      if (state[next] == 0 && visit(next)) return true;
    }
    path.pop_back();
    state[unit] = 2;
    return false;
  };
  for (const auto &[unit, edges] : graph) {
    if (state[unit] == 0 && visit(unit)) break;
  }
  return cycle;
}

} // namespace

TEST(ModuleIncludes, FormNoCycleAndTheEngineSeesOnlyTheRecords) {
  const Graph graph = ReadIncludes(fs::path(QX_SOURCE_DIR) / "module");
  ASSERT_GE(graph.size(), 10u) << "the module's sources were not found";
  EXPECT_EQ(FindCycle(graph), "") << "the module's includes close a cycle";
  // The layer stacks and the pixel engine build on the records alone.
  EXPECT_EQ(graph.at("layers"), (std::set<std::string>{"model"}));
  EXPECT_EQ(graph.at("effect"), (std::set<std::string>{"model"}));
}

namespace {

// The host's folders from the bottom up, as host/README.md numbers them.
std::vector<std::string> HostFolders(const fs::path &host) {
  std::vector<std::string> folders;
  std::ifstream in(host / "README.md");
  const std::regex item(R"(^\d+\. `(\w+)/`)");
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_search(line, match, item)) folders.push_back(match[1]);
  }
  return folders;
}

} // namespace

TEST(HostIncludes, NoFolderIncludesAFolderAboveIt) {
  const fs::path host = fs::path(QX_SOURCE_DIR) / "host";
  const std::vector<std::string> order = HostFolders(host);
  ASSERT_GE(order.size(), 5u) << "host/README.md lists no folders";
  auto rank = [&](const std::string &folder) {
    return std::find(order.begin(), order.end(), folder) - order.begin();
  };
  // Every header of the host, by its bare name, to tell an include that
  // leaves out its folder (and so escapes the check).
  std::set<std::string> headers;
  for (const auto &entry : fs::recursive_directory_iterator(host)) {
    if (entry.path().extension() == ".h") headers.insert(entry.path().filename().string());
  }
  const std::regex include(R"re(^\s*#\s*include\s*"(?:(\w+)/)?(\w+\.h)")re");
  int includes = 0;
  for (const auto &entry : fs::directory_iterator(host)) {
    if (!entry.is_directory()) continue;
    const std::string folder = entry.path().filename().string();
    ASSERT_LT(rank(folder), static_cast<std::ptrdiff_t>(order.size()))
        << "host/" << folder << "/ is not in host/README.md's list";
    for (const auto &file : fs::directory_iterator(entry.path())) {
      const std::string extension = file.path().extension().string();
      if (extension != ".h" && extension != ".cpp") continue;
      const std::string name = folder + "/" + file.path().filename().string();
      std::ifstream in(file.path());
      for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, include)) continue;
        const std::string to = match[1];
        if (to.empty()) {
          EXPECT_EQ(headers.count(match[2]), 0u)
              << name << " includes \"" << match[2] << "\" without its folder";
          continue;
        }
        if (rank(to) == static_cast<std::ptrdiff_t>(order.size())) continue; // not the host's
        ++includes;
        EXPECT_LE(rank(to), rank(folder))
            << name << " includes " << to << "/" << match[2] << ", a folder above its own";
      }
    }
  }
  EXPECT_GT(includes, 50) << "the host's includes were not found";
}
