#pragma once
// The certificate authorities that TLS requests trust, loaded once per process and shared: OpenSSL
// 3 takes tens of milliseconds to read a CA bundle, which every request would otherwise pay. A
// store is loaded again when one of its files is replaced or changes its size or modification
// time. Safe from any thread.

#include <filesystem>
#include <memory>

typedef struct x509_store_st X509_STORE;

namespace velmora::utils {

struct X509StoreRelease {
  void operator()(X509_STORE* store) const noexcept;
};
using X509StoreRef = std::unique_ptr<X509_STORE, X509StoreRelease>;

// A reference to the store of the authorities in ca_file (when empty: the system's, where libcurl
// was built to find them) and in extra_file (when not empty). The store must not be changed; it
// may verify on many threads at once. Throws OSError when a file cannot be read or holds no
// certificate.
X509StoreRef trusted_authorities(const std::filesystem::path& ca_file,
                                 const std::filesystem::path& extra_file);

}  // namespace velmora::utils
