// Damaged and hostile packages made by hand and queued at the fake backend: what recv_pkg reports,
// and that nothing is written outside the attachment folder or left behind but the download.
#include <gtest/gtest.h>

#include <fstream>

#include "backend_fixture.hpp"
#include "files_and_keys.hpp"
#include "velmora/networking/package/package_file.hpp"
#include "velmora/utils/error.hpp"
#include "zip_maker.hpp"

namespace velmora::networking {
namespace {

namespace fs = std::filesystem;
using Members = std::vector<TestMember>;

const std::string kLabel = R"({"origin": "o", "dest": "d", "subject": "s", "sent_time": "1.0"})";

class HostilePackages : public BackendFixture {
 protected:
  HostilePackages()
      : receiver_(make_peer_network()),
        made_(folder_.path() / "made") {
    fs::create_directory(made_);
  }

  // Queues a package of members for the receiver, downloaded as name.
  void deliver(const Members& members, const std::string& name = "pkg.zip") {
    make_zip(made_ / name, members);
    backend_.deliver(kPeerId, name, made_ / name);
  }

  // The bytes of a zip archive of members: an "attachment.zip".
  std::string zipped(const Members& members) {
    make_zip(made_ / "inner.zip", members);
    return read_file(made_ / "inner.zip");
  }

  // The text of the runtime error that recv_pkg raises.
  std::string refusal() {
    try {
      receiver_->recv_pkg();
    } catch (const utils::RuntimeError& error) {
      return error.what();
    }
    return "no error";
  }

  std::unique_ptr<Network> receiver_;
  fs::path made_;  // where the test makes its archives
};

TEST_F(HostilePackages, ALabelThatFailsItsCrcIsABadFileAndTheDownloadStays) {
  make_zip(made_ / "pkg.zip", {{"label.json", kLabel}});
  set_recorded_crc(made_ / "pkg.zip", "label.json", 0xDEADBEEF);
  backend_.deliver(kPeerId, "pkg.zip", made_ / "pkg.zip");
  EXPECT_EQ(refusal(), "Package has bad file: label.json");
  EXPECT_EQ(temp_names(), std::vector<std::string>{"pkg.zip"});
  EXPECT_EQ(backend_.queued(kPeerId), 0u);  // acknowledged before it was opened
}

// A label is held in memory to be parsed, so one past the bound is refused unread.
TEST_F(HostilePackages, ALabelBeyondItsBoundIsRefusedAndTheDownloadStays) {
  std::string label = kLabel;
  label.resize(package::kMaxLabelBytes + 1, ' ');
  deliver({{"label.json", label}, {"attachment.zip", zipped({{"f.txt", "x"}})}});
  EXPECT_EQ(refusal(), "Package label is larger than " +
                           std::to_string(package::kMaxLabelBytes) + " bytes");
  EXPECT_EQ(temp_names(), std::vector<std::string>{"pkg.zip"});

  label.resize(package::kMaxLabelBytes);  // at the bound: trailing blanks are JSON's whitespace
  deliver({{"label.json", label}}, "at-bound.zip");
  EXPECT_EQ(receiver_->recv_pkg().label["subject"], "s");
}

TEST_F(HostilePackages, APackageWithoutALabelOrNoZipAtAllIsRefused) {
  deliver({{"attachment.zip", zipped({{"f.txt", "x"}})}}, "nolabel.zip");
  EXPECT_EQ(refusal(), "Package does not have a label");
  std::ofstream(made_ / "text.zip") << "this is no archive";
  backend_.deliver(kPeerId, "text.zip", made_ / "text.zip");
  EXPECT_NE(refusal().find("Not a zip archive"), std::string::npos);
  EXPECT_EQ(temp_names(), (std::vector<std::string>{"nolabel.zip", "text.zip"}));
}

TEST_F(HostilePackages, AttachmentMembersThatWouldLeaveTheFolderAreBadFiles) {
  const struct {
    Members hostile;
    std::string shown;  // the member the refusal names
  } cases[] = {
      {{{"/abs.txt", "x"}}, "/abs.txt"},
      {{{"../up.txt", "x"}}, "../up.txt"},
      {{{"a/../../up.txt", "x"}}, "a/../../up.txt"},
      {{{"lnk", "/etc", TestMember::link}}, "lnk"},
      {{{"lnk", "..", TestMember::link}, {"lnk/up.txt", "x"}}, "lnk"},
      {{{"x", "file"}, {"x/y.txt", "x"}}, "x/y.txt"},
      {{{"x/", "", TestMember::folder}, {"x", "file"}}, "x"},
      {{{"line\nbreak/../../up.txt", "x"}}, "'line\\nbreak/../../up.txt'"},
  };
  int number = 0;
  for (const auto& c : cases) {
    Members inner{{"ok.txt", "fine"}};
    inner.insert(inner.end(), c.hostile.begin(), c.hostile.end());
    const std::string name = std::string("p").append(std::to_string(++number)).append(".zip");
    deliver({{"label.json", kLabel}, {"attachment.zip", zipped(inner)}}, name);
    EXPECT_EQ(refusal(), "Package has bad file: " + c.shown);
    EXPECT_EQ(temp_names(), std::vector<std::string>{name}) << c.shown;
    fs::remove(temp_dir_ / name);
  }
  EXPECT_FALSE(fs::exists(folder_.path() / "up.txt"));
  EXPECT_FALSE(fs::exists("/abs.txt"));
}

TEST_F(HostilePackages, ADamagedAttachmentMemberIsABadFile) {
  make_zip(made_ / "inner.zip", {{"data.bin", "some data"}});
  set_recorded_crc(made_ / "inner.zip", "data.bin", 1);
  deliver({{"label.json", kLabel}, {"attachment.zip", read_file(made_ / "inner.zip")}});
  EXPECT_EQ(refusal(), "Package has bad file: data.bin");
  EXPECT_EQ(temp_names(), std::vector<std::string>{"pkg.zip"});
}

TEST_F(HostilePackages, DotAndEmptyComponentsAreDroppedAndOtherMembersIgnored) {
  using namespace std::string_literals;
  const std::string utf16_label = "\xFF\xFE[\0\"\0x\0\"\0]\0"s;  // ["x"], no mapping
  deliver({{"label.json", utf16_label},
           {"notes.txt", "not unpacked"},
           {"attachment.zip", zipped({{"./dot//ok.txt", "fine"},
                                      {"dir/", "", TestMember::folder},
                                      {"./", "", TestMember::folder}})}});
  const ReceivedPackage got = receiver_->recv_pkg();
  EXPECT_EQ(got.label, Value::array({"x"}));
  ASSERT_TRUE(got.attachment);
  EXPECT_EQ(read_file(*got.attachment / "dot" / "ok.txt"), "fine");
  EXPECT_TRUE(fs::is_directory(*got.attachment / "dir"));
  EXPECT_EQ(temp_names(), std::vector<std::string>{got.attachment->filename().string()});
}

}  // namespace
}  // namespace velmora::networking
