#pragma once

#include <istream>
#include <string>
#include <vector>

namespace deskwave::relay {

// Decides which application names are AI coding tools, from a list of names or
// shell-style patterns ("*" and "?"), one a line, compared without regard to
// letter case. Blank lines and lines starting with "#" are ignored.
class Classifier {
 public:
  static Classifier fromStream(std::istream& in);
  static Classifier builtIn();

  bool isAiTool(const std::string& name) const;
  // The names that are AI tools, in the given order, each once.
  std::vector<std::string> classify(const std::vector<std::string>& names) const;
  std::size_t size() const { return patterns_.size(); }

 private:
  std::vector<std::string> patterns_;  // lower-cased
};

}  // namespace deskwave::relay
