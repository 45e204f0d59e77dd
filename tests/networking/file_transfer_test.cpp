// File transfer through the fake backend's transfer service and storage.
#include <gtest/gtest.h>

#include <fstream>

#include "backend_fixture.hpp"
#include "files_and_keys.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/text/json_parse.hpp"

namespace velmora::networking {
namespace {

using testing::FakeBackend;

class FileTransfer : public TwoNodesFixture {
 protected:
  FileTransfer() : outside_(folder_.path() / "outside") {
    std::filesystem::create_directory(outside_);
  }

  // The members of the last request to path, without its signature.
  Value last_body(const std::string& path) const {
    Value body = utils::parse_json(requests_to(path).back().body);
    body.erase("sig");
    return body;
  }

  std::filesystem::path outside_;  // a folder beside the temporary directory
};

TEST_F(FileTransfer, AFileTravelsUnderItsOwnNameAndItsMembersStayInTheProfile) {
  const auto file = outside_ / "data.bin";
  write_file(file, std::string("\0\xff payload", 10));
  EXPECT_TRUE(sender_->_send_file(peer_device_->uuid(), file));
  const Value requested = last_body("/transfer/sendfilereq");
  EXPECT_EQ(requested["uuid_friend"], kPeerId);
  EXPECT_EQ(requested["file_to_share"], "data.bin");
  EXPECT_EQ(requested["log"], "0");
  EXPECT_EQ(last_body("/transfer/sendfilecom"), requested);
  EXPECT_EQ(backend_.queued(kPeerId), 1u);
  EXPECT_TRUE(std::filesystem::exists(file));

  utils::log::LogCapture log("velmora.networking");
  const std::filesystem::path received = receiver_->_recv_file();
  EXPECT_EQ(received, temp_dir_ / "data.bin");
  EXPECT_EQ(read_file(received), read_file(file));
  EXPECT_EQ(log.messages(), std::vector<std::string>{
                                "INFO:velmora.networking:Writing file content to " +
                                received.string()});
  const Value asked = last_body("/transfer/receivefilereq");
  EXPECT_EQ(asked, sorted_members(Value{{"uuid", kPeerId},
                                        {"address", peer_device_->info()["address"]},
                                        {"client_version", peer_device_->info()["client_version"]},
                                        {"username", kUser}}));
  EXPECT_EQ(last_body("/transfer/receivefilecom")["file_to_share"], "data.bin");
  EXPECT_EQ(backend_.queued(kPeerId), 0u);
  EXPECT_EQ(backend_.stored_files(), 0u);

  sender_->set_status(device::DeviceStatus::ONLINE);
  EXPECT_EQ(last_body("/lobby/selfstatus")["file_to_share"], "data.bin");
  EXPECT_EQ(last_body("/lobby/selfstatus")["uuid_friend"], kPeerId);
}

TEST_F(FileTransfer, ALogUploadIsNeverCompleted) {
  const auto file = outside_ / "node.log";
  write_file(file, "log lines");
  EXPECT_TRUE(sender_->_send_file(utils::Bytes(), file, "ada-dev-1.log", "1"));
  EXPECT_EQ(last_body("/transfer/sendfilereq")["file_to_share"], "ada-dev-1.log");
  EXPECT_EQ(last_body("/transfer/sendfilereq")["uuid_friend"], "");
  EXPECT_EQ(backend_.server().calls("/transfer/sendfilecom"), 0);
  EXPECT_EQ(backend_.stored_files(), 1u);
}

TEST_F(FileTransfer, AFileThatCannotBeReadFailsAfterOneRequest) {
  EXPECT_THROW(sender_->_send_file(peer_device_->uuid(), outside_ / "missing.bin"),
               utils::OSError);
  EXPECT_EQ(backend_.server().calls("/transfer/sendfilereq"), 1);
  EXPECT_EQ(backend_.server().calls("/storage/t1"), 0);
  EXPECT_EQ(backend_.server().calls("/transfer/sendfilecom"), 0);
}

TEST_F(FileTransfer, ARefusedUploadIsNotCompleted) {
  write_file(outside_ / "data.bin", "x");
  backend_.server().script("/transfer/sendfilereq", FakeBackend::backend_answer(
      {{"valid", true}, {"code", 0}, {"msg", backend_.url() + "/storage/t9"}}));
  backend_.server().script("/storage/t9", {413, "too large", "text/plain"});
  EXPECT_THROW(sender_->_send_file(peer_device_->uuid(), outside_ / "data.bin"),
               utils::HTTPError);
  EXPECT_EQ(backend_.server().calls("/transfer/sendfilecom"), 0);
}

TEST_F(FileTransfer, AnEmptyQueueIsInvalidAndWritesNothing) {
  EXPECT_THROW(receiver_->_recv_file(), ValidityError);
  EXPECT_EQ(backend_.server().requests().size(), 1u);
  EXPECT_TRUE(temp_names().empty());
}

TEST_F(FileTransfer, TheBackendsNameIsReducedToALastComponentInTheTemporaryDirectory) {
  const auto file = outside_ / "package.zip";
  write_file(file, "package bytes");
  const struct {
    std::string backend_name;
    std::string written;  // empty: a fresh name
  } cases[] = {
      {"../escape.zip", "escape.zip"}, {"/etc/cron.d/job", "job"}, {"a/b/c.zip", "c.zip"},
      {"", ""}, {".", ""}, {"..", ""}, {"dir/..", ""}, {"dir/", ""}, {std::string("nul\0.zip", 8), ""},
      {std::string(300, 'n'), ""},
  };
  for (const auto& c : cases) {
    backend_.deliver(kPeerId, c.backend_name, file);
    const std::filesystem::path received = receiver_->_recv_file();
    EXPECT_EQ(received.parent_path(), temp_dir_) << c.backend_name;
    if (c.written.empty()) {
      EXPECT_TRUE(received.filename().string().starts_with("velmora-download-")) << received;
    } else {
      EXPECT_EQ(received.filename(), c.written);
    }
    EXPECT_EQ(read_file(received), "package bytes");
    EXPECT_EQ(last_body("/transfer/receivefilecom")["file_to_share"], c.backend_name);
    std::filesystem::remove(received);
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "escape.zip"));
}

TEST_F(FileTransfer, ATakenNameOrALinkIsNeverWrittenThrough) {
  const auto file = outside_ / "package.zip";
  write_file(file, "new");
  write_file(temp_dir_ / "taken.zip", "old");
  const auto victim = outside_ / "victim";
  write_file(victim, "victim");
  std::filesystem::create_symlink(victim, temp_dir_ / "link.zip");

  backend_.deliver(kPeerId, "taken.zip", file);
  backend_.deliver(kPeerId, "link.zip", file);
  const auto first = receiver_->_recv_file();
  const auto second = receiver_->_recv_file();
  EXPECT_NE(first, temp_dir_ / "taken.zip");
  EXPECT_NE(second, temp_dir_ / "link.zip");
  EXPECT_EQ(read_file(first), "new");
  EXPECT_EQ(read_file(second), "new");
  EXPECT_EQ(read_file(temp_dir_ / "taken.zip"), "old");
  EXPECT_EQ(read_file(victim), "victim");
}

TEST_F(FileTransfer, AFailedDownloadLeavesNoFileAndTheTransferQueued) {
  write_file(outside_ / "package.zip", "bytes");
  backend_.deliver(kPeerId, "p.zip", outside_ / "package.zip");
  backend_.server().script("/storage/t1", {503, "busy", "text/plain"});
  EXPECT_THROW(receiver_->_recv_file(), utils::HTTPError);
  EXPECT_TRUE(temp_names().empty());
  EXPECT_EQ(backend_.server().calls("/transfer/receivefilecom"), 0);
  EXPECT_EQ(backend_.queued(kPeerId), 1u);

  backend_.server().script("/transfer/receivefilecom", {500, "oops", "text/plain"});
  EXPECT_THROW(receiver_->_recv_file(), utils::HTTPError);
  EXPECT_EQ(temp_names(), std::vector<std::string>{"p.zip"});  // the whole file stays
  EXPECT_EQ(read_file(temp_dir_ / "p.zip"), "bytes");
}

// A client with an inbox keeps each download there before it acknowledges it, never over another
// package of the same name; a download that cannot be kept is not acknowledged, and the backend
// offers it again.
TEST_F(FileTransfer, ADownloadIsAcknowledgedOnlyOnceItIsKeptInTheInbox) {
  const std::filesystem::path inbox = outside_ / "inbox";
  const auto receiver = std::make_unique<Network>(backend_.url(), kRefreshToken, peer_device_,
                                                  idp_->url(), temp_dir_, inbox);
  write_file(outside_ / "package.zip", "bytes");
  backend_.deliver(kPeerId, "p.zip", outside_ / "package.zip");
  EXPECT_THROW(receiver->_recv_file(), utils::OSError);  // no inbox yet
  EXPECT_EQ(backend_.server().calls("/transfer/receivefilecom"), 0);
  EXPECT_EQ(backend_.queued(kPeerId), 1u);
  EXPECT_TRUE(temp_names().empty());

  std::filesystem::create_directory(inbox);
  backend_.deliver(kPeerId, "p.zip", outside_ / "package.zip");
  const std::filesystem::path first = receiver->_recv_file();
  const std::filesystem::path second = receiver->_recv_file();
  EXPECT_EQ(first, inbox / "p.zip");
  EXPECT_EQ(second, inbox / "1-p.zip");
  EXPECT_EQ(read_file(first), "bytes");
  EXPECT_EQ(read_file(second), "bytes");
  EXPECT_EQ(backend_.queued(kPeerId), 0u);
  EXPECT_TRUE(temp_names().empty());
}

}  // namespace
}  // namespace velmora::networking
