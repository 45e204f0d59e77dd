#include "velmora/utils/http/trusted_authorities.hpp"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "velmora/utils/error.hpp"

namespace velmora::utils {
namespace {

// What tells one content of a file from another without reading it.
using FileIdentity = std::tuple<dev_t, ino_t, off_t, long, long>;

FileIdentity identity_of(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) throw OSError(errno, file);
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

void load_file(X509_STORE* store, const std::filesystem::path& file) {
  if (X509_STORE_load_file(store, file.c_str()) != 1) {
    ERR_clear_error();
    throw OSError(EINVAL, file);
  }
}

// The bundle and folder libcurl was built to trust; either may be missing.
struct SystemAuthorities {
  std::filesystem::path bundle;
  std::filesystem::path folder;
};

// Like the cache below, never destroyed: a request may come while the process exits, after the
// static objects made later than its caller have gone.
const SystemAuthorities& system_authorities() {
  static const SystemAuthorities& system = *[] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return new SystemAuthorities{info->cainfo ? info->cainfo : "",
                                 info->capath ? info->capath : ""};
  }();
  return system;
}

X509StoreRef load_store(const std::filesystem::path& ca_file,
                        const std::filesystem::path& extra_file) {
  X509StoreRef store(X509_STORE_new());
  if (!store) throw std::bad_alloc();
  // As libcurl sets it: an intermediate among the trusted authorities anchors a chain.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  if (!ca_file.empty()) {
    load_file(store.get(), ca_file);
  } else {
    const SystemAuthorities& system = system_authorities();
    if (!system.bundle.empty()) load_file(store.get(), system.bundle);
    // A hashed folder is read lazily, certificate by certificate, as verification asks.
    if (!system.folder.empty() && X509_STORE_load_path(store.get(), system.folder.c_str()) != 1)
      ERR_clear_error();
  }
  if (!extra_file.empty()) load_file(store.get(), extra_file);
  return store;
}

struct CachedStore {
  std::vector<FileIdentity> files;
  X509StoreRef store;
};

}  // namespace

void X509StoreRelease::operator()(X509_STORE* store) const noexcept { X509_STORE_free(store); }

X509StoreRef trusted_authorities(const std::filesystem::path& ca_file,
                                 const std::filesystem::path& extra_file) {
  static std::mutex& mutex = *new std::mutex;
  static auto& cache = *new std::map<std::pair<std::string, std::string>, CachedStore>;

  std::vector<FileIdentity> files;
  const std::filesystem::path& bundle = ca_file.empty() ? system_authorities().bundle : ca_file;
  for (const auto* file : {&bundle, &extra_file})
    if (!file->empty()) files.push_back(identity_of(*file));

  std::lock_guard lock(mutex);
  CachedStore& cached = cache[{ca_file.string(), extra_file.string()}];
  if (!cached.store || cached.files != files) {
    cached.store = load_store(ca_file, extra_file);
    cached.files = std::move(files);
  }
  X509_STORE_up_ref(cached.store.get());
  return X509StoreRef(cached.store.get());
}

}  // namespace velmora::utils
