// Build-time check of the layering: every source of the program's folders is
// placed in one layer by cmake/layers.txt, may include only headers of its
// own layer and the layers below, and no two modules (a header with its
// source) include each other through any path. Prints every breach and
// exits 1, which fails the build.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Rules {
  std::vector<std::string> layers;                     // lowest first
  std::map<std::string, int> folders;                  // "platform/" -> layer
  std::map<std::string, int> modules;                  // "scan/tree" -> layer
  std::map<std::string, std::vector<std::string>> only;    // folder -> folders it may include
  std::map<std::string, std::vector<std::string>> forbid;  // layer -> modules it may not include
  std::set<std::string> exempt;                        // files free of the "only" rule
};

std::string ModuleOf(const std::string& path) { return path.substr(0, path.rfind('.')); }

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool ReadRules(const fs::path& file, Rules& r) {
  std::ifstream in(file);
  if (!in) {
    std::cerr << "layers: cannot read " << file << "\n";
    return false;
  }
  std::string line;
  int line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    std::istringstream words(line.substr(0, line.find('#')));
    std::string verb, name, entry;
    if (!(words >> verb)) continue;
    if (verb == "layer" && words >> name) {
      const int level = static_cast<int>(r.layers.size());
      r.layers.push_back(name);
      while (words >> entry) (entry.back() == '/' ? r.folders : r.modules)[entry] = level;
    } else if (verb == "only" && words >> name) {
      while (words >> entry) r.only[name].push_back(entry);
    } else if (verb == "forbid" && words >> name) {
      while (words >> entry) r.forbid[name].push_back(entry);
    } else if (verb == "exempt") {
      while (words >> entry) r.exempt.insert(entry);
    } else {
      std::cerr << file.string() << ":" << line_no << ": cannot read \"" << line << "\"\n";
      return false;
    }
  }
  return true;
}

// The layer of a file: its module's entry, else its folder's; -1 when unplaced.
int LayerOf(const Rules& r, const std::string& path) {
  if (auto it = r.modules.find(ModuleOf(path)); it != r.modules.end()) return it->second;
  if (auto it = r.folders.find(FolderOf(path)); it != r.folders.end()) return it->second;
  return -1;
}

std::vector<std::string> Includes(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line.compare(first, 10, "#include \"") != 0) continue;
    const auto open = line.find('"', first);
    const auto close = line.find('"', open + 1);
    if (close != std::string::npos) out.push_back(line.substr(open + 1, close - open - 1));
  }
  return out;
}

// Cycles among modules: strongly connected components of more than one module.
std::vector<std::vector<std::string>> Cycles(const std::map<std::string, std::set<std::string>>& edges) {
  std::map<std::string, int> index, low;
  std::set<std::string> on_stack;
  std::vector<std::string> stack;
  std::vector<std::vector<std::string>> out;
  int next = 0;
  std::function<void(const std::string&)> visit = [&](const std::string& v) {
    index[v] = low[v] = next++;
    stack.push_back(v);
    on_stack.insert(v);
    if (auto it = edges.find(v); it != edges.end())
      for (const std::string& w : it->second) {
        if (!index.count(w)) {
          visit(w);
          low[v] = std::min(low[v], low[w]);
        } else if (on_stack.count(w)) {
          low[v] = std::min(low[v], index[w]);
        }
      }
    if (low[v] != index[v]) return;
    std::vector<std::string> component;
    std::string w;
    do {
      w = stack.back();
      stack.pop_back();
      on_stack.erase(w);
      component.push_back(w);
    } while (w != v);
    if (component.size() > 1) {
      std::sort(component.begin(), component.end());
      out.push_back(component);
    }
  };
  for (const auto& [v, _] : edges)
    if (!index.count(v)) visit(v);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: check_layers SOURCE_DIR LAYERS_FILE\n";
    return 2;
  }
  const fs::path root = argv[1];
  Rules rules;
  if (!ReadRules(argv[2], rules)) return 2;

  std::set<std::string> roots;
  for (const auto& [folder, _] : rules.folders) roots.insert(folder.substr(0, folder.find('/')));
  for (const auto& [module, _] : rules.modules) roots.insert(module.substr(0, module.find('/')));

  std::vector<std::string> files;
  for (const std::string& top : roots) {
    if (!fs::is_directory(root / top)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root / top)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".h" || ext == ".cpp"))
        files.push_back(fs::relative(e.path(), root).generic_string());
    }
  }
  std::sort(files.begin(), files.end());

  int breaches = 0;
  std::map<std::string, std::set<std::string>> edges;
  for (const std::string& file : files) {
    const int layer = LayerOf(rules, file);
    if (layer < 0) {
      std::cerr << "layers: " << file << " is in no layer; place it in cmake/layers.txt\n";
      ++breaches;
      continue;
    }
    const std::string module = ModuleOf(file);
    edges[module];
    for (const std::string& inc : Includes(root / file)) {
      if (!fs::exists(root / inc)) continue;  // a header of the toolchain's or a library's
      const int target = LayerOf(rules, inc);
      const std::string layer_name = rules.layers[static_cast<std::size_t>(layer)];
      if (target > layer) {
        std::cerr << "layers: " << file << " (" << layer_name << ") includes " << inc << " ("
                  << rules.layers[static_cast<std::size_t>(target)] << ")\n";
        ++breaches;
      }
      for (const std::string& banned : rules.forbid[layer_name])
        if (ModuleOf(inc) == banned) {
          std::cerr << "layers: " << file << " (" << layer_name << ") may not include " << inc << "\n";
          ++breaches;
        }
      for (const auto& [folder, allowed] : rules.only) {
        if (!StartsWith(file, folder) || rules.exempt.count(file)) continue;
        const bool ok = std::any_of(allowed.begin(), allowed.end(), [&](const std::string& a) { return StartsWith(inc, a); });
        if (!ok) {
          std::cerr << "layers: " << file << " may include only " << folder << "'s allowed folders, not " << inc << "\n";
          ++breaches;
        }
      }
      if (ModuleOf(inc) != module) edges[module].insert(ModuleOf(inc));
    }
  }
  for (const auto& cycle : Cycles(edges)) {
    std::cerr << "layers: include cycle among modules:";
    for (const std::string& m : cycle) std::cerr << " " << m;
    std::cerr << "\n";
    ++breaches;
  }
  if (breaches) {
    std::cerr << "layers: " << breaches << " breach(es) of cmake/layers.txt\n";
    return 1;
  }
  return 0;
}
