// Damaged descriptors: truncated, overwritten with random bytes, binary, or
// carrying megabyte lines. The readers must neither crash nor invent data:
// whatever they return comes from the file.
#include <gtest/gtest.h>

#include <random>

#include "descriptor_builder.h"
#include "host/host.h"
#include "metadata/descriptors.h"
#include "test_support.h"

namespace XELO {
namespace {

using xelotest::arrayProperty;
using xelotest::cimDocument;
using xelotest::scalarProperty;

const std::string kUpdateName = "qor_fw_m_linux.xml";
const std::string kPackName = "qor_utl_novp_7101_sles11.xml";

std::string baseUpdate() {
  xelotest::UpdateDescriptor d{kUpdateName, "qor_fw_m", {"Model A [7101]", "Model B [7102]"},
                               {"SLES 11", "linux"}, "m.bin", "m.txt", "m.chg", {"qor_fw_base"}};
  return d.text();
}

std::string basePack() {
  return cimDocument(arrayProperty("applicableMachineTypes", {"[7101]"}) + "  <VALUE>NOVP 7101</VALUE>\n" +
                     scalarProperty("xmlFilename", kPackName) + scalarProperty("readmeFilename", "m.txt") +
                     scalarProperty("changeHistoryFilename", "m.chg") +
                     scalarProperty("identificationCode", "novp-7101"));
}

class Mutator {
 public:
  explicit Mutator(unsigned seed) : random(seed) {}

  std::string randomBytes(size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(byte(random));
    return s;
  }
  size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(random); }

  // One damaged variant of `text`, by the kind `kind`.
  std::string mutate(const std::string& text, int kind) {
    std::string s = text;
    switch (kind % 6) {
      case 0:  // truncated anywhere
        s.resize(below(s.size() + 1));
        break;
      case 1:  // some bytes overwritten
        for (int i = 0; i < 8 && !s.empty(); ++i) s[below(s.size())] = static_cast<char>(byte(random));
        break;
      case 2: {  // a line dropped
        const auto start = s.rfind('\n', below(s.size()));
        const auto end = s.find('\n', start == std::string::npos ? 0 : start + 1);
        s.erase(start == std::string::npos ? 0 : start, end == std::string::npos ? std::string::npos : end - start);
        break;
      }
      case 3:  // markers without their closing halves
        for (const char* cut : {"</VALUE>", "</VALUE.ARRAY>", "]"}) {
          const auto at = s.find(cut, below(s.size()));
          if (at != std::string::npos) s.erase(at, 1);
        }
        break;
      case 4:  // all binary
        s = randomBytes(below(4096));
        break;
      default:  // newlines removed: the whole descriptor is one line
        for (auto& c : s)
          if (c == '\n' && below(2) == 0) c = ' ';
        break;
    }
    return s;
  }

 private:
  std::mt19937 random;
  std::uniform_int_distribution<int> byte{0, 255};
};

// Runs every reader on the descriptors in `dir` and checks that what they
// found is made of the file's own text and names files that are there.
void readAndCheck(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = dir + "/" + name;
  for (const char* property : {"xmlFilename", "payload", "readme", "identificationCode", "changeHistoryFilename"}) {
    const std::string value = readDescriptorProperty(path, property);
    EXPECT_NE(text.find(value), std::string::npos) << property;
  }
  for (const auto& type : readMachineTypeArray(path)) EXPECT_NE(text.find(type), std::string::npos);
  for (const auto& id : readDescriptorRequisites(path)) {
    EXPECT_FALSE(id.empty());
    EXPECT_NE(text.find(id), std::string::npos);
  }
  const OsClass os = getDescriptorOsClass(path);
  EXPECT_TRUE(os >= kOsUnknown && os <= kOsIndependent);

  Options options;
  options.workingDir = dir;
  DescriptorIndex index;
  indexUpdateDescriptors(index, options);
  for (const auto& [type, file] : index.filesByMachineType) {
    EXPECT_TRUE(isRegularFile(dir + "/" + file)) << file;
    EXPECT_NE(text.find(type), std::string::npos);
  }
  for (const auto& [type, id] : index.idsByMachineType) EXPECT_NE(text.find(id), std::string::npos);
  for (const auto& file : filesForMachineType(index, "all")) EXPECT_TRUE(isRegularFile(dir + "/" + file));
}

class DamagedDescriptorTest : public ::testing::Test {
 protected:
  xelotest::TempDir dir;
  void SetUp() override {
    for (const char* f : {"m.bin", "m.txt", "m.chg"}) xelotest::writeFile(dir / f, "x");
  }
  // Only the descriptor under test is in the directory.
  void place(const std::string& name, const std::string& text) {
    deleteFile(dir / kUpdateName);
    deleteFile(dir / kPackName);
    xelotest::writeFile(dir / name, text);
  }
};

TEST_F(DamagedDescriptorTest, MutatedDescriptorsNeverYieldForeignData) {
  Mutator mutator(20240611);
  const std::string update = baseUpdate();
  const std::string pack = basePack();
  for (int round = 0; round < 240; ++round) {
    const bool isPack = round % 2 == 1;
    const std::string text = mutator.mutate(isPack ? pack : update, round / 2);
    place(isPack ? kPackName : kUpdateName, text);
    SCOPED_TRACE("round " + std::to_string(round));
    readAndCheck(dir.path(), isPack ? kPackName : kUpdateName, text);
    if (HasFailure()) break;
  }
}

TEST_F(DamagedDescriptorTest, MegabyteLinesAreReadWithoutLimit) {
  Mutator mutator(7);
  const std::string update = baseUpdate();
  const std::string huge(1024 * 1024 + 1, 'x');
  const std::vector<std::string> lines = {
      mutator.randomBytes(1024 * 1024),
      "<VALUE>" + huge,                                  // a value that never closes
      "[" + huge,                                        // a machine type that never closes
      "<PROPERTY NAME=\"payload\" " + huge,              // a property line of its own
      "<VALUE>NOVP" + huge + "</VALUE>",
      "NAME=\"preReq\"" + huge + "<VALUE>" + huge + "</VALUE>",
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    // The long line goes in front of the element lines, and after them.
    for (const auto at : {update.find("<VALUE>Model A"), update.find("</CIM>")}) {
      std::string text = update;
      text.insert(at, lines[i] + "\n");
      const std::string& name = i == 4 ? kPackName : kUpdateName;
      place(name, text);
      SCOPED_TRACE("line " + std::to_string(i));
      readAndCheck(dir.path(), name, text);
    }
  }
  // A whole-file element: the machine type is the long line itself.
  place(kUpdateName, cimDocument(arrayProperty("applicableMachineTypes", {"[" + huge + "]"})));
  ASSERT_EQ(readMachineTypeArray(dir / kUpdateName).size(), 1u);
  EXPECT_EQ(readMachineTypeArray(dir / kUpdateName)[0].size(), huge.size());
}

}  // namespace
}  // namespace XELO
