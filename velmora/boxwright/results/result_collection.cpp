#include "velmora/boxwright/results/result_collection.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "velmora/boxwright/results/archive_extraction.hpp"
#include "velmora/boxwright/results/change_selection.hpp"
#include "velmora/boxwright/results/result_tally.hpp"
#include "velmora/boxwright/engine/engine_client.hpp"
#include "velmora/boxwright/engine/engine_error.hpp"
#include "velmora/boxwright/module_log.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::boxwright {
namespace {

using engine::EngineClient;
using utils::Value;

// Refusals of one archive logged one by one; a job may make millions of links.
constexpr std::size_t kRefusalsLogged = 20;
// What may follow an archive's end marker before the stream counts as broken.
constexpr std::size_t kTrailingBytesLimit = std::size_t{1} << 20;

void make_folder(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0777) != 0) throw utils::OSError(errno, path);
}

void check_folder_name(const std::string& name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
    throw utils::ValueError("the container's name " + utils::literal_text(name) +
                            " cannot name a folder");
}

// Sends all of data on a socket whose reader may have gone (then OSError EPIPE, no signal).
void send_all(int socket, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(socket, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      throw utils::OSError(errno, "archive stream");
    }
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
}

// Reads what follows the archive's end marker (the padding of its last block) to the stream's end.
void drain(int socket) {
  char buffer[8192];
  std::size_t trailing = 0;
  for (;;) {
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got == 0) return;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw utils::OSError(errno, "archive stream");
    }
    trailing += static_cast<std::size_t>(got);
    if (trailing > kTrailingBytesLimit)
      throw utils::ValueError("the archive goes on after its end");
  }
}

// Streams the archive of path in the container into folder: the engine's answer is extracted as
// it arrives, on a thread of its own, so no archive is ever held whole or written to disk as one.
// on_refused runs on that thread.
void extract_container_archive(const EngineClient& client, const std::string& container,
                               const std::string& path, const std::filesystem::path& folder,
                               const RefusalSink& on_refused, const EntryAdmission& admit) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    throw utils::OSError(errno, folder);
  utils::FileDescriptor sending(ends[0]);
  utils::FileDescriptor receiving(ends[1]);

  std::exception_ptr extraction_failure;
  std::thread extractor(
      [&extraction_failure, &folder, &on_refused, &admit, reading = std::move(receiving)]() {
        try {
          extract_archive(reading.get(), folder, on_refused, admit);
          drain(reading.get());
        } catch (...) {
          extraction_failure = std::current_exception();
        }
      });  // closing its end tells a sender that no one reads any more

  bool reader_gone = false;
  std::exception_ptr transfer_failure;
  try {
    client.container_archive(container, path, [&](std::string_view piece) {
      try {
        send_all(sending.get(), piece);
      } catch (const utils::OSError&) {
        reader_gone = true;
        throw;
      }
    });
  } catch (...) {
    transfer_failure = std::current_exception();
  }
  ::shutdown(sending.get(), SHUT_WR);  // the end of the stream for the extractor
  extractor.join();
  // A transfer that broke off explains the extractor's failure; one that the extractor ended
  // does not.
  if (transfer_failure && !reader_gone) std::rethrow_exception(transfer_failure);
  if (extraction_failure) std::rethrow_exception(extraction_failure);
  if (transfer_failure) std::rethrow_exception(transfer_failure);
}

// The locations below "filesys" whose archives were extracted. The change list names an added
// folder and every path in it; each such path comes whole with its folder, except a hard link,
// which the folder's archive leaves out and which comes as a file of its own when fetched alone.
class CollectedPaths {
 public:
  bool covers(const std::filesystem::path& location) const {
    bool inside_whole = false;
    std::filesystem::path prefix;
    for (const auto& component : location) {
      inside_whole = inside_whole || whole_.contains(prefix.string());
      prefix /= component;
    }
    return inside_whole && !hard_links_.contains(prefix.string());
  }

  void add(const std::filesystem::path& location,
           const std::vector<std::filesystem::path>& hard_links) {
    whole_.insert(location.string());
    for (const auto& link : hard_links) hard_links_.insert(link.string());
  }

 private:
  std::unordered_set<std::string> whole_;
  std::unordered_set<std::string> hard_links_;
};

// Collects one path into filesys, counted against tally (which stops the collection past its
// bytes or entries with CollectionStopped).
void collect_path(const EngineClient& client, const Container& cntr, const ResultPath& path,
                  const std::filesystem::path& filesys, CollectedPaths& collected,
                  ResultTally& tally) {
  if (path.location.empty()) throw utils::ValueError("the path has no place in the results folder");
  if (!tally.fits(path.location))
    throw utils::ValueError("the path is deeper or longer than collected results may be");
  const std::filesystem::path parent = path.location.parent_path();
  std::filesystem::create_directories(filesys / parent);
  std::size_t refusals = 0;
  std::vector<std::filesystem::path> hard_links;
  extract_container_archive(
      client, cntr.id, path.container_path, filesys / parent,
      [&](const RefusedEntry& entry) {
        if (++refusals <= kRefusalsLogged)
          LOG.warning("Left out %s of %s: %s", entry.name, path.container_path,
                      refusal_text(entry.refusal));
        if (entry.refusal == Refusal::kHardLink) hard_links.push_back(parent / entry.location);
      },
      [&](const std::filesystem::path& location, bool, std::uint64_t size) {
        if (!tally.fits(parent / location)) return false;
        tally.take(parent / location, size);
        return true;
      });
  if (refusals > kRefusalsLogged)
    LOG.warning("Left out %d more entries of %s", refusals - kRefusalsLogged,
                path.container_path);
  collected.add(path.location, hard_links);
}

// Says in the log and in the results that they are incomplete, and why.
void note_incomplete(const std::filesystem::path& out_dir, const Container& cntr,
                     const std::string& why) {
  LOG.warning("The results of container %s are incomplete: %s", cntr.name, why);
  const std::filesystem::path note = out_dir / kIncompleteFile;
  utils::FileDescriptor file;
  file.open(note, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW);
  utils::write_all(file.get(), why + "\n", note);
  file.close(note);
}

}  // namespace

std::filesystem::path collect_results(const Container& cntr, const std::filesystem::path& dest_dir,
                                      const ResultBounds& bounds) {
  check_folder_name(cntr.name);
  const std::filesystem::path out_dir = dest_dir / cntr.name;
  make_folder(out_dir);
  const EngineClient client = EngineClient::from_env();
  ResultTally tally(out_dir, bounds);
  const std::filesystem::path log = out_dir / "output.log";
  const std::uint64_t log_room = tally.take_log_room();
  const bool whole_log = client.container_logs(cntr.id, log, {}, log_room);
  tally.give_back(log_room - std::filesystem::file_size(log));
  const std::filesystem::path filesys = out_dir / "filesys";
  make_folder(filesys);
  if (!whole_log) {
    note_incomplete(out_dir, cntr, tally.log_stop());
    return out_dir;
  }

  const Value info = client.info();
  if (!info.is_object() || !info.contains("OSType")) throw utils::KeyError("OSType");
  const Value& os_type = info["OSType"];
  const bool on_linux = os_type == "linux";
  if (!on_linux && os_type != "windows") {
    LOG.warning("No files are collected from an engine of the OS type %s",
                utils::display_text(os_type));
    return out_dir;
  }

  Value changes;
  try {
    changes = client.container_changes(cntr.id);
  } catch (const std::exception& e) {
    LOG.log_error(utils::log::kError, e, "Could not get the change list of container %s",
                  cntr.name);
    note_incomplete(out_dir, cntr,
                    std::string("the engine gave no list of the container's changes (") +
                        e.what() + "); no files were collected");
    return out_dir;
  }
  if (changes.is_null()) return out_dir;  // nothing changed
  if (!changes.is_array())
    throw engine::EngineError(200, "the Docker engine's change list is not a list");

  CollectedPaths collected;
  for (const Value& entry : changes) {
    if (!(on_linux ? selected_on_linux(entry) : selected_on_windows(entry))) continue;
    const std::string& listed = entry["Path"].get_ref<const std::string&>();
    const ResultPath path = on_linux ? linux_result_path(listed) : windows_result_path(listed);
    if (collected.covers(path.location)) continue;
    try {
      collect_path(client, cntr, path, filesys, collected, tally);
    } catch (const CollectionStopped& stopped) {
      note_incomplete(out_dir, cntr, stopped.what());
      break;
    } catch (const std::exception& e) {
      LOG.log_error(utils::log::kError, e, "Could not extract file: %s", path.container_path);
    }
  }
  return out_dir;
}

}  // namespace velmora::boxwright
