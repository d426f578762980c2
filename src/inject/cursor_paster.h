#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace deskwave {

// Puts prompts into target applications and watches for their replies; also
// answers Claude's on-screen permission prompts and questions. Main thread only;
// hooks are called on the main thread.
class CursorPaster {
 public:
  virtual ~CursorPaster() = default;

  virtual void pasteText(const std::string& text, const std::string& target) = 0;
  virtual void pasteToClaude(const std::string& text, const std::string& target) = 0;
  virtual void pasteGeneric(const std::string& text, const std::string& target) = 0;
  virtual void pasteImages(const std::vector<std::filesystem::path>& files, const std::string& text,
                           const std::string& target) = 0;

  // "allow" or "deny" on Claude's own permission prompt.
  virtual void answerClaudePrompt(const std::string& decision) = 0;
  // Free text for a question's "other" choice.
  virtual void answerClaudeQuestionOther(const std::string& text) = 0;
  virtual void pressClaudeButton(const std::string& title) = 0;

  std::function<void(const std::string& target, const std::string& text)> onResponse;
  std::function<void(const std::string& target, const std::string& text)> onPartial;
};

}  // namespace deskwave
