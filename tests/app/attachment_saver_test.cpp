#include "app/attachment_saver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/base64.h"
#include "support/temp_home.h"

namespace deskwave {
namespace {

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const WallTime kNow = WallTime{} + std::chrono::milliseconds(1767225600900);  // x.9 s: truncated

TEST(SafeAttachmentNameTest, ReplacesBlanksSlashesAndControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"my photo.png", "my_photo.png"},
      {"../../etc/passwd", ".._.._etc_passwd"},
      {std::string("a\0b.png", 7), "a_b.png"},
      {"tab\there\nnew\x7F", "tab_here_new_"},
      {"Bild \u00FCber.jpg", "Bild_\u00FCber.jpg"},
      {"", ""},
  };
  for (const auto& [name, safe] : cases) EXPECT_EQ(safeAttachmentName(name), safe);
}

TEST(SafeAttachmentNameTest, ShortensLongNamesKeepingTheExtensionAndValidUtf8) {
  std::string name;
  for (int i = 0; i < 150; ++i) name += "\u00E9";  // two bytes each
  name += ".jpeg";
  const auto safe = safeAttachmentName(name);
  EXPECT_LE(safe.size(), 200u);
  EXPECT_TRUE(safe.ends_with("\u00E9.jpeg")) << safe;
}

class SaveAttachmentsTest : public ::testing::Test {
 protected:
  testing::TempHome home;
  std::filesystem::path folder = home.path() / "attachments";
  void SetUp() override { std::filesystem::create_directories(folder); }
};

TEST_F(SaveAttachmentsTest, SkipsImagesThatDoNotDecodeAndKeepsOrder) {
  const auto saved = saveAttachments(folder,
                                     {{"a.png", base64Encode(std::string("first"))},
                                      {"b.png", "Zm9v\n"},
                                      {"c.png", base64Encode(std::string("third"))}},
                                     kNow);
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[0], folder / "1767225600-a.png");
  EXPECT_EQ(saved[1], folder / "1767225600-c.png");
  EXPECT_EQ(readFile(saved[0]), "first");
  EXPECT_EQ(readFile(saved[1]), "third");
  struct stat st {};
  ASSERT_EQ(::stat(saved[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SaveAttachmentsTest, SameNameInTheSameSecondKeepsEveryImage) {
  const auto first = saveAttachments(folder, {{"shot.png", base64Encode(std::string("one"))},
                                              {"shot.png", base64Encode(std::string("two"))}},
                                     kNow);
  const auto second = saveAttachments(folder, {{"shot.png", base64Encode(std::string("three"))}}, kNow);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0].filename(), "1767225600-shot.png");
  EXPECT_EQ(first[1].filename(), "1767225600-shot-1.png");
  EXPECT_EQ(second[0].filename(), "1767225600-shot-2.png");
  EXPECT_EQ(readFile(first[0]), "one");
  EXPECT_EQ(readFile(first[1]), "two");
  EXPECT_EQ(readFile(second[0]), "three");
}

TEST_F(SaveAttachmentsTest, AnImageThatCannotBeWrittenIsSkipped) {
  const auto saved = saveAttachments(folder / "missing", {{"a.png", base64Encode(std::string("x"))}}, kNow);
  EXPECT_TRUE(saved.empty());
  EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
}

}  // namespace
}  // namespace deskwave
