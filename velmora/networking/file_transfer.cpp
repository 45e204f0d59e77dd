// File transfer: a signed request for a storage URL, a plain PUT or GET of the whole file there,
// and a signed completion request.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/networking/module_log.hpp"
#include "velmora/networking/network.hpp"
#include "velmora/networking/package/package_bounds.hpp"
#include "velmora/networking/request_frame.hpp"
#include "velmora/utils/disk_space.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"
#include "velmora/utils/http/http_status.hpp"
#include "velmora/utils/temp_files.hpp"

namespace velmora::networking {
namespace {

// The last path component of the name the backend gives a download; empty when that leaves no
// name of a file of its own.
std::string download_name(std::string_view name) {
  name = name.substr(name.rfind('/') + 1);  // npos + 1 is 0: the whole name
  if (name == "." || name == ".." || name.find('\0') != std::string_view::npos) return {};
  return std::string(name);
}

// A new file in folder, created exclusively without following a link, named after the backend's
// file name where that name is free and usable.
std::filesystem::path create_download_file(const std::filesystem::path& folder,
                                           std::string_view backend_name,
                                           utils::FileDescriptor& file) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
  if (const std::string name = download_name(backend_name); !name.empty()) {
    const std::filesystem::path path = folder / name;
    try {
      file.open(path, kFlags);
      return path;
    } catch (const utils::OSError& failure) {
      if (failure.error_number() != EEXIST && failure.error_number() != ENAMETOOLONG) throw;
    }
  }
  // make_temp_file has just created it exclusively, with a name of its own.
  const std::filesystem::path path = utils::make_temp_file(folder, "velmora-download-");
  file.open(path, O_WRONLY | O_NOFOLLOW);
  return path;
}

// GETs url into the file at path, which file holds open; removes the file when that fails.
// OverBound when the body passes bounds.bytes, or would leave less free disk than the reserve.
void download(const std::string& url, const std::filesystem::path& path,
              utils::FileDescriptor& file, const package::PackageBounds& bounds) {
  try {
    utils::WriteAllowance allowance(path.parent_path(), bounds.bytes, bounds.disk_reserve);
    const utils::HttpResponse response = utils::http_exchange(
        {.url = url, .answer = utils::ChunkSink([&](std::string_view chunk) {
           if (!allowance.take(chunk.size()))
             throw package::OverBound(
                 allowance.taken() + chunk.size() > allowance.most()
                     ? "the package is larger than " + std::to_string(allowance.most()) + " bytes"
                     : "the package would leave less free disk than the reserve of " +
                           std::to_string(bounds.disk_reserve) + " bytes");
           utils::write_all(file.get(), chunk, path);
         })});
    utils::raise_for_status(response, url);
    file.close(path);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw;
  }
}

// Flushes the file at path to disk, moves it into folder under its own name (or, when that is
// taken there, a numbered one; never over another file) and flushes the folder: from then on a
// crash does not lose it. Answers where it is now; OSError when a step fails, the file left at
// path.
std::filesystem::path keep_in(const std::filesystem::path& folder,
                              const std::filesystem::path& path) {
  utils::FileDescriptor file;
  file.open(path, O_RDONLY | O_NOFOLLOW);
  if (::fsync(file.get()) != 0) throw utils::OSError(errno, path);
  file.close(path);
  const std::string name = path.filename().string();
  std::filesystem::path kept = folder / name;
  for (int number = 1;
       ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) != 0;
       ++number) {
    if (errno != EEXIST) throw utils::OSError(errno, kept);
    kept = folder / (std::to_string(number) + "-" + name);
  }
  utils::FileDescriptor kept_in;
  kept_in.open(folder, O_RDONLY | O_DIRECTORY);
  if (::fsync(kept_in.get()) != 0) throw utils::OSError(errno, folder);
  return kept;
}

}  // namespace

bool Network::_send_file(const Bytes& dest_uuid, const std::filesystem::path& filepath,
                         const std::string& filename, const std::string& log) {
  return send_file_body(dest_uuid, filepath, filepath, filename, log);
}

bool Network::_send_file(const Bytes& dest_uuid, const utils::OpenFile& file,
                         const std::string& filename, const std::string& log) {
  return send_file_body(dest_uuid, file, file.path, filename, log);
}

bool Network::send_file_body(const Bytes& dest_uuid, utils::HttpBody body,
                             const std::filesystem::path& filepath, const std::string& filename,
                             const std::string& log) {
  const Value request = local_device_->update_info(
      {{"uuid_friend", utils::b2s(dest_uuid)},
       {"file_to_share", filename.empty() ? filepath.filename().string() : filename},
       {"log", log}});
  const std::string url = text_member(_send_request("send_file_req", request), "msg");
  const utils::HttpResponse response =
      utils::http_exchange({.method = "PUT", .url = url, .body = std::move(body)});
  utils::raise_for_status(response, url);
  if (log == "0") _send_request("send_file_com", request);
  return true;
}

std::filesystem::path Network::_recv_file(const package::PackageBounds& bounds) {
  const Value info = local_device_->info();
  Value request = Value::object();
  for (const char* key : {"uuid", "address", "client_version"}) {
    const auto found = info.find(key);
    if (found == info.end()) throw utils::KeyError(Value(key));
    request[key] = *found;
  }
  request["username"] = username_;

  const Value answer = _send_request("receive_file_req", request);
  const std::string url = text_member(answer, "msg");
  const std::string filename = text_member(answer, "filename");
  utils::FileDescriptor file;
  const std::filesystem::path path = create_download_file(temp_folder_, filename, file);
  LOG.info("Writing file content to %s", path.string());
  request["file_to_share"] = filename;
  try {
    download(url, path, file, bounds);
  } catch (const package::OverBound& over) {
    _send_request("receive_file_com", request);  // taken, so that it is not offered again
    throw RefusedPackage(over.what(), nullptr);
  }
  std::filesystem::path kept = path;
  if (inbox_folder_ != temp_folder_) {
    try {
      kept = keep_in(inbox_folder_, path);
    } catch (...) {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);  // not acknowledged: the backend offers it again
      throw;
    }
  }
  _send_request("receive_file_com", request);  // only once the package is kept
  return kept;
}

}  // namespace velmora::networking
