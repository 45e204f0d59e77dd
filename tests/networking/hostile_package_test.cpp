// Damaged and hostile packages made by hand and queued at the fake backend: what recv_pkg reports,
// and that nothing is written outside the attachment folder, nor left behind of a refused one.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <random>

#include "backend_fixture.hpp"
#include "files_and_keys.hpp"
#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/utils/disk_space.hpp"
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

  // The refusal of a package past a bound.
  RefusedPackage refusal_of_bound(const package::PackageBounds& bounds = {}) {
    try {
      receiver_->recv_pkg(bounds);
    } catch (const RefusedPackage& refused) {
      return refused;
    }
    ADD_FAILURE() << "no refusal";
    return RefusedPackage("none", nullptr);
  }

  std::unique_ptr<Network> receiver_;
  fs::path made_;  // where the test makes its archives
};

// A package that cannot be read is refused like one past a bound: nothing of it stays, whoever
// sent it, the sender named when its label was read, and the next package is taken.
TEST_F(HostilePackages, AnUnreadablePackageLeavesNothingAndTheNextIsTaken) {
  const std::string padding(std::size_t{1} << 20, 'p');
  const struct {
    const char* kind;
    Members package;
    std::string refusal;   // the start of the refusal's text
    bool label_read;       // whether the refusal names the sender
    bool crc_lie = false;  // the label's recorded CRC-32 no longer matches its data
  } cases[] = {
      {"a label that fails its CRC", {{"label.json", kLabel}, {"pad", padding}},
       "Package has bad file: label.json", false, true},
      {"no zip", {}, "Not a zip archive", false},
      {"no label", {{"attachment.zip", zipped({{"f.txt", "x"}})}, {"pad", padding}},
       "Package does not have a label", false},
      {"a label that is no JSON", {{"label.json", "{\"origin\": "}, {"pad", padding}}, "", false},
      {"a link member",
       {{"label.json", kLabel},
        {"attachment.zip", zipped({{"ok.txt", "fine"}, {"lnk", "/etc", TestMember::link}})}},
       "Package has bad file: lnk", true},
      {"a member that leaves its folder",
       {{"label.json", kLabel},
        {"attachment.zip", zipped({{"pad", padding}, {"a/../../escape.txt", "x"}})}},
       "Package has bad file: a/../../escape.txt", true},
  };
  for (const auto& c : cases) {
    if (c.package.empty()) {
      std::ofstream(made_ / "pkg.zip") << "this is no archive" << padding;
      backend_.deliver(kPeerId, "pkg.zip", made_ / "pkg.zip");
    } else {
      make_zip(made_ / "pkg.zip", c.package);
      if (c.crc_lie) set_recorded_crc(made_ / "pkg.zip", "label.json", 0xDEADBEEF);
      backend_.deliver(kPeerId, "pkg.zip", made_ / "pkg.zip");
    }
    deliver({{"label.json", kLabel}}, "good.zip");
    try {
      receiver_->recv_pkg();
      ADD_FAILURE() << c.kind << ": taken";
    } catch (const RefusedPackage& refused) {
      EXPECT_NE(std::string(refused.what()).find(c.refusal), std::string::npos)
          << c.kind << ": " << refused.what();
      EXPECT_EQ(refused.label().is_null(), !c.label_read) << c.kind;
      if (c.label_read) {
        EXPECT_EQ(refused.label()["origin"], "o") << c.kind;
      }
    }
    EXPECT_TRUE(temp_names().empty()) << c.kind;
    const ReceivedPackage next = receiver_->recv_pkg();
    EXPECT_EQ(next.label["subject"], "s") << c.kind;
    fs::remove(next.file);
  }
  EXPECT_EQ(backend_.queued(kPeerId), 0u);
  EXPECT_FALSE(fs::exists(folder_.path() / "escape.txt"));
}

// A label is held in memory to be parsed: 16 MiB of nested arrays, 16 KB as they travel, once
// took 360 MB and 10 s to read. One past the bound is refused unread; as nothing of the package
// can be trusted then, nothing of it stays, and it is no longer queued.
TEST_F(HostilePackages, ALabelBeyondItsBoundIsRefusedUnreadAndNothingOfItStays) {
  std::string expensive = kLabel.substr(0, kLabel.size() - 1) + R"(, "x": [)";
  while (expensive.size() < (std::size_t{16} << 20)) expensive += "[[]],";
  deliver({{"label.json", expensive + "[]]}"}, {"attachment.zip", zipped({{"f.txt", "x"}})}});
  const RefusedPackage refused = refusal_of_bound();
  EXPECT_STREQ(refused.what(), ("the package's label is larger than " +
                                std::to_string(package::kMaxLabelBytes) + " bytes")
                                   .c_str());
  EXPECT_TRUE(refused.label().is_null());
  EXPECT_TRUE(temp_names().empty());
  EXPECT_EQ(backend_.queued(kPeerId), 0u);

  std::string label = kLabel;
  label.resize(package::kMaxLabelBytes, ' ');  // at the bound; blanks are JSON's whitespace
  deliver({{"label.json", label}}, "at-bound.zip");
  EXPECT_EQ(receiver_->recv_pkg().label["subject"], "s");
}

// Attachments past a bound, each refused whole before anything is written or, for data that
// inflates past what it declares, as soon as it does so: the label names the sender, and
// nothing of the package stays.
TEST_F(HostilePackages, APackagePastABoundIsRefusedWholeAndNothingOfItStays) {
  std::string deep;
  for (std::size_t i = 0; i < package::kMaxPathDepth; ++i) deep += "d/";
  const std::string zeros(std::size_t{4} << 20, '\0');
  make_zip(made_ / "lying.zip", {{"ok.txt", "fine"}, {"bomb", zeros}});
  set_recorded_size(made_ / "lying.zip", "bomb", 1000);
  const std::string lying_attachment = read_file(made_ / "lying.zip");
  const struct {
    Members package;
    std::string refusal;
    std::function<void(const fs::path&)> lie = {};  // made of the package once it is written
  } cases[] = {
      {{{"label.json", kLabel}, {"attachment.zip", zipped({{deep + "f.txt", "x"}})}},
       "the member " + deep.substr(0, 100) + "... lies 65 components deep, more than 64"},
      {{{"label.json", kLabel},
        {"attachment.zip", zipped({{std::string(package::kMaxPathLength + 1, 'n'), "x"}})}},
       "the member " + std::string(100, 'n') + "... has a name of 1025 bytes, more than 1024"},
      {{{"label.json", kLabel}, {"attachment.zip", lying_attachment}},
       "zip member bomb inflates past the 1000 bytes it declares"},
      {{{"label.json", kLabel}, {"attachment.zip", zipped({{"big", zeros}})}},
       "zip member attachment.zip inflates past the 1000 bytes it declares",
       [](const fs::path& made) { set_recorded_size(made, "attachment.zip", 1000); }},
  };
  int number = 0;
  for (const auto& c : cases) {
    const std::string name = std::string("p").append(std::to_string(++number)).append(".zip");
    make_zip(made_ / name, c.package);
    if (c.lie) c.lie(made_ / name);
    backend_.deliver(kPeerId, name, made_ / name);
    const RefusedPackage refused = refusal_of_bound();
    EXPECT_EQ(refused.what(), c.refusal);
    EXPECT_EQ(refused.label()["origin"], "o") << c.refusal;
    EXPECT_TRUE(temp_names().empty()) << c.refusal;
  }
  EXPECT_EQ(backend_.queued(kPeerId), 0u);
}

// A download past the bound is cut off and acknowledged, so that the backend offers it no more.
TEST_F(HostilePackages, ADownloadPastTheBoundIsAcknowledgedUnreadAndNothingStays) {
  std::string noise(8192, '\0');
  std::mt19937 random(7);
  for (char& byte : noise) byte = static_cast<char>(random());
  deliver({{"label.json", kLabel}, {"attachment.zip", zipped({{"noise.bin", noise}})}});
  const RefusedPackage refused = refusal_of_bound({.bytes = 4096});
  EXPECT_STREQ(refused.what(), "the package is larger than 4096 bytes");
  EXPECT_TRUE(refused.label().is_null());
  EXPECT_TRUE(temp_names().empty());
  EXPECT_EQ(backend_.queued(kPeerId), 0u);
  EXPECT_EQ(requests_to("/transfer/receivefilecom").size(), 1u);
}

// Declared sizes past the bytes or the free disk are refused before anything is written; here
// they claim 256 MiB for 4 KiB, in the attachment or in the package itself. The label is read
// first either way, so the refusal names the sender.
TEST_F(HostilePackages, DeclaredSizesPastTheBoundOrTheFreeDiskAreRefused) {
  make_zip(made_ / "claims.zip", {{"claim.bin", std::string(4096, 'c')}});
  set_recorded_size(made_ / "claims.zip", "claim.bin", 256u << 20);
  const std::string claims = read_file(made_ / "claims.zip");
  const struct {
    std::string attachment;
    bool package_claims;  // the package's "attachment.zip" declares 256 MiB
  } cases[] = {{claims, false}, {zipped({{"f.txt", std::string(4096, 'f')}}), true}};
  for (const auto& c : cases) {
    make_zip(made_ / "p1.zip", {{"label.json", kLabel}, {"attachment.zip", c.attachment}});
    if (c.package_claims) set_recorded_size(made_ / "p1.zip", "attachment.zip", 256u << 20);
    backend_.deliver(kPeerId, "p1.zip", made_ / "p1.zip");
    const RefusedPackage refused = refusal_of_bound({.bytes = 64u << 20});
    EXPECT_STREQ(refused.what(), "the archive's members declare more than 67108864 bytes");
    EXPECT_EQ(refused.label()["origin"], "o") << c.package_claims;
    EXPECT_TRUE(temp_names().empty());
  }

  // A reserve that leaves 64 MiB of what is free now.
  const std::uint64_t free = utils::writable_bytes(temp_dir_, 0);
  ASSERT_GT(free, std::uint64_t{128} << 20) << "the test needs free disk";
  deliver({{"label.json", kLabel}, {"attachment.zip", claims}}, "p2.zip");
  const RefusedPackage refused = refusal_of_bound({.disk_reserve = free - (64u << 20)});
  EXPECT_TRUE(std::string(refused.what()).starts_with("the attachment unpacks to 268435456 bytes"))
      << refused.what();
  EXPECT_EQ(refused.label()["origin"], "o");
  EXPECT_TRUE(temp_names().empty());
}

// An archive of a million entries once took 296 MB to open: the count its end record declares is
// refused before libzip reads the directory. One past the bound needs ZIP64's end record.
TEST_F(HostilePackages, AnArchiveOfMoreMembersThanTheBoundIsRefusedBeforeItIsRead) {
  Members many(package::kMaxPackageEntries + 1);
  for (std::size_t i = 0; i < many.size(); ++i) many[i].name = std::to_string(i);
  deliver({{"label.json", kLabel}, {"attachment.zip", zipped(many)}});
  const RefusedPackage refused = refusal_of_bound();
  EXPECT_EQ(refused.what(), "the archive lists " + std::to_string(many.size()) +
                                " members, more than " +
                                std::to_string(package::kMaxPackageEntries));
  EXPECT_EQ(refused.label()["origin"], "o");
  EXPECT_TRUE(temp_names().empty());
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
    EXPECT_TRUE(temp_names().empty()) << c.shown;
  }
  EXPECT_FALSE(fs::exists(folder_.path() / "up.txt"));
  EXPECT_FALSE(fs::exists("/abs.txt"));
}

TEST_F(HostilePackages, ADamagedAttachmentMemberIsABadFile) {
  make_zip(made_ / "inner.zip", {{"data.bin", "some data"}});
  set_recorded_crc(made_ / "inner.zip", "data.bin", 1);
  deliver({{"label.json", kLabel}, {"attachment.zip", read_file(made_ / "inner.zip")}});
  EXPECT_EQ(refusal(), "Package has bad file: data.bin");
  EXPECT_TRUE(temp_names().empty());
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
  EXPECT_EQ(temp_names(), (std::vector<std::string>{got.file.filename().string(),
                                                     got.attachment->filename().string()}));
}

}  // namespace
}  // namespace velmora::networking
