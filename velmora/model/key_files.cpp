#include "velmora/model/key_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "velmora/model/module_log.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/file_descriptor.hpp"

namespace velmora::model {
namespace {

// Far above the DER of any RSA key the node uses (about 1.2 KB for 2048 bits).
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

// Whether anything, a dangling link included, is at path.
bool anything_at(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) return true;
  if (errno == ENOENT) return false;
  throw utils::OSError(errno, path);
}

utils::Bytes read_key_file(const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO cannot hold the open.
  utils::FileDescriptor in(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in.is_open()) throw utils::OSError(errno, path);
  struct stat info {};
  if (::fstat(in.get(), &info) != 0) throw utils::OSError(errno, path);
  if (!S_ISREG(info.st_mode))
    throw utils::ValueError("key file '" + path.string() + "' is not a regular file");
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw utils::OSError(errno, path);
    }
    if (got == 0) return utils::Bytes(std::move(content));
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > kMaxKeyFileBytes)
      throw utils::ValueError("key file '" + path.string() + "' is too large to hold a key");
  }
}

// Creates the file (never replacing one, never through a link) with exactly these bytes, durably.
void write_key_file(const std::filesystem::path& path, const utils::Bytes& der, mode_t mode) {
  utils::FileDescriptor out(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!out.is_open()) throw utils::OSError(errno, path);
  utils::write_all(out.get(), der.view(), path);
  if (::fsync(out.get()) != 0) throw utils::OSError(errno, path);
  out.close(path);
}

}  // namespace

KeyPair load_key_pair(const std::filesystem::path& pub_key_file,
                      const std::filesystem::path& priv_key_file) {
  const bool have_pub = anything_at(pub_key_file);
  const bool have_priv = anything_at(priv_key_file);
  if (have_pub && have_priv) {
    LOG.info("Importing keypair from file system");
    auto pub_key = sealcraft::PublicKey::import_key(read_key_file(pub_key_file));
    auto priv_key = sealcraft::PrivateKey::import_key(read_key_file(priv_key_file));
    return {std::move(pub_key), std::move(priv_key)};
  }
  if (!have_pub && !have_priv) {
    LOG.info("Keys not found in file system; creating them");
    auto [priv_key, pub_key] = sealcraft::make_keys();
    write_key_file(priv_key_file, priv_key->export_(), 0600);
    write_key_file(pub_key_file, pub_key->export_(), 0666);  // as the umask allows
    return {std::move(pub_key), std::move(priv_key)};
  }
  if (have_pub)
    throw utils::ValueError("Public key found at '" + pub_key_file.string() +
                            "', private key missing from '" + priv_key_file.string() + "'");
  throw utils::ValueError("Private key found at '" + priv_key_file.string() +
                          "', public key missing from '" + pub_key_file.string() + "'");
}

}  // namespace velmora::model
