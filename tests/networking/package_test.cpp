// Packages between two clients through the fake backend: labels, attachments, and what is left in
// the temporary folder.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "backend_fixture.hpp"
#include "files_and_keys.hpp"
#include "velmora/networking/package/package_file.hpp"
#include "velmora/networking/package/package_label.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "zip_maker.hpp"

namespace velmora::networking {
namespace {

namespace fs = std::filesystem;

// Every entry below folder: a file by its content, a folder as "<folder>", a link by its target.
std::map<std::string, std::string> tree(const fs::path& folder) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    const std::string name = fs::relative(it->path(), folder).generic_string();
    if (it->is_symlink())
      entries[name] = "-> " + fs::read_symlink(it->path()).string();
    else if (it->is_directory())
      entries[name] = "<folder>";
    else
      entries[name] = read_file(it->path());
  }
  return entries;
}

class Packages : public TwoNodesFixture {
 protected:
  Packages() : job_(folder_.path() / "job") {
    fs::create_directory(job_);
  }

  fs::path job_;  // the attachment folder, outside the temporary directory
};

TEST_F(Packages, ALabelAloneTravelsAndNothingIsLeftBehind) {
  const fs::path sent = sender_->send_pkg(kPeerId, "friend_request");
  EXPECT_EQ(sent.parent_path(), temp_dir_);
  EXPECT_EQ(sent.extension(), ".zip");
  EXPECT_FALSE(fs::exists(sent));
  EXPECT_TRUE(temp_names().empty());

  const ReceivedPackage got = receiver_->recv_pkg();
  EXPECT_EQ(keys_of(got.label),
            (std::vector<std::string>{"origin", "dest", "subject", "sent_time"}));
  EXPECT_EQ(got.label["origin"], kDeviceId);
  EXPECT_EQ(got.label["dest"], kPeerId);
  EXPECT_EQ(got.label["subject"], "friend_request");
  const std::string sent_time = got.label["sent_time"].get<std::string>();
  const double now = std::chrono::duration<double>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(std::stod(sent_time), now, 600.0);
  EXPECT_NE(sent_time.find('.'), std::string::npos);
  EXPECT_FALSE(got.attachment);
  EXPECT_EQ(temp_names(), std::vector<std::string>{got.file.filename().string()});  // the caller's
  fs::remove(got.file);
  EXPECT_THROW(receiver_->recv_pkg(), ValidityError);  // the queue is drained
}

TEST_F(Packages, AFolderArrivesWithItsTreeAndTheLabelsInTheirOrder) {
  std::string random(300'000, '\0');
  std::mt19937 generator(7);
  for (char& c : random) c = static_cast<char>(generator());
  write_file(job_ / "a" / "b" / "c.txt", "deep");
  write_file(job_ / "top.bin", random);  // does not compress: deflated in stored blocks
  write_file(job_ / "blocks.bin", random.substr(0, 2 * 65535));  // two whole stored blocks
  fs::create_directory(job_ / "empty");
  fs::create_symlink(job_ / "top.bin", job_ / "linked_file");
  fs::create_symlink(job_ / "a", job_ / "linked_folder");
  fs::create_symlink(job_ / "missing", job_ / "dangling");
  const auto before = tree(job_);

  sender_->send_pkg(kPeerId, "job_submission", job_,
                    {{"job_id", "j1"}, {"origin", "spoofed"}, {"job_name", "é😀"}});
  const ReceivedPackage got = receiver_->recv_pkg();
  EXPECT_EQ(keys_of(got.label), (std::vector<std::string>{"origin", "dest", "subject",
                                                          "sent_time", "job_id", "job_name"}));
  EXPECT_EQ(got.label["origin"], "spoofed");
  EXPECT_EQ(got.label["job_name"], "é😀");
  ASSERT_TRUE(got.attachment);
  EXPECT_EQ(tree(*got.attachment), (std::map<std::string, std::string>{
                                       {"a", "<folder>"},
                                       {"a/b", "<folder>"},
                                       {"a/b/c.txt", "deep"},
                                       {"blocks.bin", random.substr(0, 2 * 65535)},
                                       {"empty", "<folder>"},
                                       {"linked_file", random},
                                       {"linked_folder", "<folder>"},
                                       {"top.bin", random},
                                   }));
  EXPECT_EQ(tree(job_), before);
  std::vector<std::string> expected{got.attachment->filename().string(),
                                    got.file.filename().string()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(temp_names(), expected);
}

// A client given a temporary folder of its own makes every temporary item there: the package it
// sends, the download, the unpacked attachment; given an inbox, it keeps the package file there.
// A damaged package leaves nothing in either.
TEST_F(Packages, AClientsTemporaryItemsGoToItsOwnFolderAndItsPackagesToItsInbox) {
  const fs::path own = folder_.path() / "own-tmp";
  const fs::path inbox = folder_.path() / "inbox";
  fs::create_directory(own);
  fs::create_directory(inbox);
  const auto receiver = std::make_unique<Network>(backend_.url(), kRefreshToken, peer_device_,
                                                  idp_->url(), own, inbox);
  const auto sender = std::make_unique<Network>(backend_.url(), kRefreshToken, device_,
                                                idp_->url(), own);
  write_file(job_ / "data.txt", "data");
  EXPECT_EQ(sender->send_pkg(kPeerId, "job_submission", job_).parent_path(), own);
  const ReceivedPackage got = receiver->recv_pkg();
  ASSERT_TRUE(got.attachment);
  EXPECT_EQ(got.attachment->parent_path(), own);
  EXPECT_EQ(read_file(*got.attachment / "data.txt"), "data");
  EXPECT_EQ(got.file.parent_path(), inbox);
  fs::remove_all(*got.attachment);
  fs::remove(got.file);

  const fs::path damaged = folder_.path() / "damaged.zip";
  write_file(damaged, "no zip archive");
  backend_.deliver(kPeerId, "damaged.zip", damaged);
  EXPECT_THROW(receiver->recv_pkg(), RefusedPackage);
  EXPECT_TRUE(fs::is_empty(own));
  EXPECT_TRUE(fs::is_empty(inbox));
  EXPECT_TRUE(temp_names().empty());
}

TEST_F(Packages, AnEmptyFolderGivesAnEmptyFolderAndAnEmptyPathNone) {
  sender_->send_pkg(kPeerId, "job_results", job_);
  sender_->send_pkg(kPeerId, "job_update", "", {{"status", "Running"}});
  const ReceivedPackage with_folder = receiver_->recv_pkg();
  ASSERT_TRUE(with_folder.attachment);
  EXPECT_TRUE(fs::is_empty(*with_folder.attachment));
  const ReceivedPackage without = receiver_->recv_pkg();
  EXPECT_FALSE(without.attachment);
  EXPECT_EQ(without.label["status"], "Running");
}

// Lowers the process's limit of open descriptors to what it holds now plus headroom, for as long
// as it lives.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(std::size_t headroom) {
    getrlimit(RLIMIT_NOFILE, &before_);
    const auto open = std::distance(fs::directory_iterator("/proc/self/fd"), {});
    const rlimit lowered{static_cast<rlim_t>(open) + headroom, before_.rlim_max};
    lowered_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &before_); }
  bool lowered() const { return lowered_; }

 private:
  rlimit before_{};
  bool lowered_ = false;
};

TEST_F(Packages, AFolderOfMoreIncompressibleFilesThanOpenDescriptorsTravels) {
  constexpr int kFiles = 300;
  std::mt19937 generator(11);
  std::string random(8192, '\0');  // enough of a start to be taken for incompressible
  for (int i = 0; i < kFiles; ++i) {
    for (char& c : random) c = static_cast<char>(generator());
    const std::string name = std::to_string(i);
    write_file(job_ / ("part" + std::to_string(i % 3)) / ("r" + name + ".bin"), random);
  }
  {
    const DescriptorLimit limit(64);
    ASSERT_TRUE(limit.lowered());
    sender_->send_pkg(kPeerId, "job_submission", job_);
  }
  const ReceivedPackage got = receiver_->recv_pkg();
  ASSERT_TRUE(got.attachment);
  EXPECT_EQ(tree(*got.attachment), tree(job_));
}

TEST_F(Packages, ConcurrentSendsEachCarryTheirOwnTransferMembers) {
  constexpr int kThreads = 6;
  constexpr int kEach = 2;
  std::atomic<int> failures = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        try {
          sender_->send_pkg(kPeerId, "friend_request", "", {{"n", std::to_string(t * kEach + i)}});
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  std::set<std::string> received;
  for (int i = 0; i < kThreads * kEach; ++i) {
    const ReceivedPackage got = receiver_->recv_pkg();
    received.insert(got.label["n"]);
    fs::remove(got.file);
  }
  EXPECT_EQ(received.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_THROW(receiver_->recv_pkg(), ValidityError);
  EXPECT_TRUE(temp_names().empty());
}

TEST_F(Packages, RefusedArgumentsMakeNothing) {
  const Value spoiled_labels[] = {{{"subject", "x"}}, {{"dest_uuid", "x"}},
                                  {{"attachment", "x"}}, Value::array()};
  for (const Value& labels : spoiled_labels)
    EXPECT_THROW(sender_->send_pkg(kPeerId, "s", "", labels), utils::TypeError) << labels;
  EXPECT_THROW(sender_->send_pkg(std::nullopt, "s"), utils::TypeError);
  EXPECT_THROW(sender_->send_pkg("\u0100", "s"), utils::ValueError);
  EXPECT_THROW(sender_->send_pkg(kPeerId, "s", "", {{"k", "\xff"}}), utils::ValueError);
  EXPECT_TRUE(backend_.server().requests().empty());
  EXPECT_TRUE(temp_names().empty());
}

TEST_F(Packages, AFailedSendRemovesItsOwnFilesAndLeavesTheFolder) {
  write_file(job_ / "input.txt", "data");
  backend_.server().script("/transfer/sendfilereq", {503, "down", "text/plain"});
  EXPECT_THROW(sender_->send_pkg(kPeerId, "job_submission", job_), utils::HTTPError);
  EXPECT_THROW(sender_->send_pkg(kPeerId, "job_submission", job_ / "missing"), utils::OSError);
  EXPECT_TRUE(temp_names().empty());
  EXPECT_EQ(tree(job_), (std::map<std::string, std::string>{{"input.txt", "data"}}));
  EXPECT_EQ(backend_.server().calls("/transfer/sendfilereq"), 1);
}

TEST_F(Packages, ThePackageFileHoldsOnlyTheDeflatedLabelAndAttachment) {
  write_file(job_ / "sub" / "f.txt", "text text text");
  std::string random(70'000, '\0');
  std::mt19937 generator(3);
  for (char& c : random) c = static_cast<char>(generator());
  write_file(job_ / "sub" / "r.bin", random);
  const fs::path work = folder_.path() / "work";
  fs::create_directory(work);
  const fs::path package_file = folder_.path() / "package.zip";
  package::write_package(package_file, R"({"origin": "o"})", job_, work);
  EXPECT_EQ(zip_members(package_file),
            (std::vector<std::pair<std::string, int>>{{"label.json", 8}, {"attachment.zip", 8}}));
  EXPECT_EQ(zip_members(work / "attachment.zip"),
            (std::vector<std::pair<std::string, int>>{
                {"sub/", 0}, {"sub/f.txt", 8}, {"sub/r.bin", 8}}));
  EXPECT_EQ(read_file(work / "label.json"), R"({"origin": "o"})");
}

TEST(PackageLabel, SentTimeIsTheShortestFixedFormWithAPoint) {
  const std::pair<double, std::string> cases[] = {
      {1700000000.0, "1700000000.0"}, {1700000000.25, "1700000000.25"},
      {1733829050.123456, "1733829050.123456"}, {0.1, "0.1"},
      {1e20, "100000000000000000000.0"}, {5e-7, "0.0000005"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(package::sent_time_text(seconds), text);
}

TEST(PackageLabel, ReadsJsonInUtf8Utf16AndUtf32) {
  using namespace std::string_literals;
  const Value expected = {{"k", "é😀"}};
  const std::string encodings[] = {
      "{\"k\": \"é😀\"}",
      "\xEF\xBB\xBF{\"k\": \"\\u00e9\\ud83d\\ude00\"}",
      "\xFF\xFE{\0\"\0k\0\"\0:\0\"\0\xE9\0\x3D\xD8\x00\xDE\"\0}\0"s,
      "\0{\0\"\0k\0\"\0:\0\"\0\xE9\xD8\x3D\xDE\x00\0\"\0}"s,
      "{\0\0\0\"\0\0\0k\0\0\0\"\0\0\0:\0\0\0\"\0\0\0\xE9\0\0\0\x00\xF6\x01\0\"\0\0\0}\0\0\0"s,
      "\0\0\xFE\xFF\0\0\0{\0\0\0\"\0\0\0k\0\0\0\"\0\0\0:\0\0\0\"\0\0\0\xE9\0\x01\xF6\x00\0\0\0\"\0\0\0}"s,
  };
  for (const std::string& bytes : encodings) EXPECT_EQ(package::read_label(bytes), expected);
  EXPECT_THROW(package::read_label("\xFF\xFE{\0\"\0k\0\"\0:\0\0\xD8}\0"s), utils::ValueError);
  EXPECT_THROW(package::read_label("{\"k\": "), utils::ValueError);
}

}  // namespace
}  // namespace velmora::networking
