#include "classifier.h"

#include <algorithm>
#include <set>
#include <sstream>

namespace deskwave::relay {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// Glob match with "*" and "?", iterative with backtracking to the last star.
bool matches(const std::string& pattern, const std::string& text) {
  std::size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The tools the service knows without a list of its own.
constexpr const char* kBuiltIn = R"(# AI coding tools: one application name or pattern a line.
Cursor
Claude
Claude Code
Codex
ChatGPT
Windsurf
Zed
Visual Studio Code
Code
VSCodium
Void
Trae
Kiro
Aider
Cline
Continue
GitHub Copilot*
Copilot
Gemini*
JetBrains AI*
Warp
Tabnine
Replit*
Devin
Amp
OpenCode
Goose
LM Studio
Ollama
)";

}  // namespace

Classifier Classifier::fromStream(std::istream& in) {
  Classifier c;
  std::string line;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    c.patterns_.push_back(lower(line));
  }
  return c;
}

Classifier Classifier::builtIn() {
  std::istringstream in(kBuiltIn);
  return fromStream(in);
}

bool Classifier::isAiTool(const std::string& name) const {
  const auto n = lower(trim(name));
  return std::any_of(patterns_.begin(), patterns_.end(), [&](const std::string& p) { return matches(p, n); });
}

std::vector<std::string> Classifier::classify(const std::vector<std::string>& names) const {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& name : names)
    if (isAiTool(name) && seen.insert(name).second) out.push_back(name);
  return out;
}

}  // namespace deskwave::relay
