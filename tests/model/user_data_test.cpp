// Loading the user data as the node is built: the key files, the machine id, the stores in their
// order, the results folder; and a restart in the same folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "node_fixture.hpp"
#include "testing/file_tree.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

mode_t permissions(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

using UserData = NodeFixture;

TEST_F(UserData, FirstStartMakesKeysMachineIdStoresAndResultsFolder) {
  const auto node = make_node();

  std::vector<std::string> expected{"Instantiating Velmora"};
  if (node->docker_is_running()) expected.push_back("Docker is running!");
  for (const char* line : {"Keys not found in file system; creating them",
                           "Creating results folder at results", "creating threads"})
    expected.push_back(line);
  EXPECT_EQ(model_log(), expected);

  EXPECT_EQ(permissions(work_ / "priv.key"), 0600u);
  EXPECT_EQ(utils::Bytes(testing::file_content(work_ / "priv.key")), node->priv_key()->export_());
  EXPECT_EQ(utils::Bytes(testing::file_content(work_ / "pub.key")), node->pub_key()->export_());
  for (const std::string& file : kStoreFiles) EXPECT_TRUE(exists(file)) << file;
  EXPECT_TRUE(std::filesystem::is_directory(work_ / "results"));
  EXPECT_EQ(permissions(node_temp_dir()), 0700u);

  // The text of a version 4 UUID, which the device takes as its id.
  const std::string id = testing::file_content(work_ / "mid.bin");
  ASSERT_EQ(id.size(), 36u);
  for (std::size_t dash : {8, 13, 18, 23}) EXPECT_EQ(id[dash], '-');
  EXPECT_EQ(id[14], '4');
  EXPECT_EQ(node->device()->uuid(), utils::Bytes(id));
  EXPECT_EQ(node->network()->local_device(), node->device());

  EXPECT_TRUE(node->friends().snapshot().empty());
  EXPECT_TRUE(node->launches().snapshot().empty());
  EXPECT_EQ(testing::file_content(work_ / "friends.bin"), "[]");
}

TEST_F(UserData, SecondStartBringsBackTheSameIdKeysAndStores) {
  const utils::Bytes friend_id(std::string_view(networking::kPeerId));
  utils::Bytes machine_id;
  utils::Bytes public_key;
  {
    const auto node = make_node();
    machine_id = node->machine_id().snapshot();
    public_key = node->pub_key()->export_();
    node->friends().with([&](DeviceIds& ids) { ids.insert(friend_id); });
    node->friends().dump();
  }
  const std::size_t first_lines = model_log().size();

  const auto node = make_node();
  const std::vector<std::string> log = model_log();
  const std::vector<std::string> second(log.begin() + first_lines, log.end());
  EXPECT_NE(std::find(second.begin(), second.end(), "Importing keypair from file system"),
            second.end());
  EXPECT_EQ(std::find(second.begin(), second.end(), "Creating results folder at results"),
            second.end());
  EXPECT_EQ(node->machine_id().snapshot(), machine_id);
  EXPECT_EQ(node->pub_key()->export_(), public_key);
  EXPECT_EQ(node->friends().snapshot(), DeviceIds{friend_id});
}

TEST_F(UserData, OneKeyFileAloneIsRefusedBeforeAnythingIsMade) {
  const struct {
    const char* present;
    std::string text;
  } cases[] = {
      {"pub.key", "Public key found at 'pub.key', private key missing from 'priv.key'"},
      {"priv.key", "Private key found at 'priv.key', public key missing from 'pub.key'"},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.present);
    std::ofstream(work_ / one.present) << "key";
    EXPECT_EQ(error_text<utils::ValueError>([&] { make_node(); }), one.text);
    for (const std::string& file : kStoreFiles) EXPECT_FALSE(exists(file)) << file;
    EXPECT_FALSE(exists("results"));
    std::filesystem::remove(work_ / one.present);
  }
}

// The private key is written first: when the public key cannot be written, the private key file
// is there, and the next start names it.
TEST_F(UserData, PrivateKeyFileIsWrittenBeforeThePublicOne) {
  NodeSettings settings = this->settings();
  settings.pub_key_file = "missing/pub.key";
  EXPECT_THROW(make_node(settings), utils::OSError);
  EXPECT_TRUE(exists("priv.key"));
  EXPECT_FALSE(exists("mid.bin"));
  EXPECT_EQ(error_text<utils::ValueError>([&] { make_node(settings); }),
            "Private key found at 'priv.key', public key missing from 'missing/pub.key'");
}

// Each store is opened in its turn, the results folder between the fifth and the sixth: a store
// file that cannot be read back ends the load there, with the files before it made and none after.
TEST_F(UserData, StoresAreOpenedInTheirOrder) {
  for (std::size_t broken = 0; broken < kStoreFiles.size(); ++broken) {
    SCOPED_TRACE(kStoreFiles[broken]);
    for (const auto& entry : std::filesystem::directory_iterator(work_))
      std::filesystem::remove_all(entry.path());
    lay_down_node_identity();
    std::ofstream(work_ / kStoreFiles[broken], std::ios::binary) << "{";
    EXPECT_THROW(make_node(), utils::ValueError);
    for (std::size_t i = 0; i < kStoreFiles.size(); ++i)
      EXPECT_EQ(exists(kStoreFiles[i]), i <= broken) << kStoreFiles[i];
    EXPECT_EQ(exists("results"), broken >= 5);
  }
}

// A key file is read only when it is a regular file of a key's size: a FIFO cannot hold the start.
TEST_F(UserData, KeyFileThatIsNoRegularFileOrTooLargeIsRefused) {
  const struct {
    const char* file;
    std::function<void(const std::filesystem::path&)> lay_down;
    std::string text;
  } cases[] = {
      {"priv.key", [](const auto& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "key file 'priv.key' is not a regular file"},
      {"pub.key", [](const auto& path) { std::filesystem::create_directory(path); },
       "key file 'pub.key' is not a regular file"},
      {"pub.key",
       [](const auto& path) { std::ofstream(path, std::ios::binary) << std::string(65537, 'k'); },
       "key file 'pub.key' is too large to hold a key"},
  };
  for (const auto& one : cases) {
    SCOPED_TRACE(one.text);
    lay_down_node_identity();
    std::filesystem::remove(work_ / one.file);
    one.lay_down(work_ / one.file);
    EXPECT_EQ(error_text<utils::ValueError>([&] { make_node(); }), one.text);
    for (std::size_t i = 1; i < kStoreFiles.size(); ++i)  // "mid.bin" came with the keys
      EXPECT_FALSE(exists(kStoreFiles[i])) << kStoreFiles[i];
    std::filesystem::remove_all(work_ / one.file);
  }
}

TEST_F(UserData, ResultsFolderThatIsAFileIsLeftAlone) {
  std::ofstream(work_ / "results") << "not a folder";
  make_node();
  EXPECT_EQ(testing::file_content(work_ / "results"), "not a folder");
  const auto log = model_log();
  EXPECT_EQ(std::find(log.begin(), log.end(), "Creating results folder at results"), log.end());
  for (const std::string& file : kStoreFiles) EXPECT_TRUE(exists(file)) << file;
}

TEST_F(UserData, ResultsFolderInsideAMissingFolderStopsTheLoadThere) {
  NodeSettings settings = this->settings();
  settings.results_folder = "missing/results";
  EXPECT_EQ(os_error_number([&] { make_node(settings); }), ENOENT);
  // Stores 1 to 5 are opened before the folder is made, the others after it.
  for (std::size_t i = 0; i < kStoreFiles.size(); ++i)
    EXPECT_EQ(exists(kStoreFiles[i]), i < 5) << kStoreFiles[i];
}

TEST_F(UserData, MachineIdFileThatHoldsNoUuidIsRefusedAndKept) {
  lay_down_node_identity();
  for (const std::string content : {"", "5d1c7e2a-0b9f-4e83-a6d4-c3f2e1b0a98", "not a uuid",
                                    "5d1c7e2a+0b9f-4e83-a6d4-c3f2e1b0a987"}) {
    SCOPED_TRACE(content);
    std::ofstream(work_ / "mid.bin", std::ios::binary) << content;
    EXPECT_EQ(error_text<utils::ValueError>([&] { make_node(); }),
              "machine id file 'mid.bin' does not hold the text of a UUID");
    EXPECT_EQ(testing::file_content(work_ / "mid.bin"), content);
  }
}

TEST_F(UserData, IntervalThatIsNotPositiveIsRefusedBeforeAnythingIsDone) {
  NodeSettings settings = this->settings();
  settings.device_list_interval = 0;
  EXPECT_EQ(error_text<utils::ValueError>([&] { make_node(settings); }),
            "device_list_interval must be a positive number of seconds up to 1e9, got 0");
  EXPECT_THROW(make_node(this->settings(), -30), utils::ValueError);
  EXPECT_TRUE(model_log().empty());
  EXPECT_TRUE(std::filesystem::is_empty(work_));
}

}  // namespace
}  // namespace velmora::model
