#pragma once
// The exception hierarchy shared by every module. what() is the error's text form; callers test
// the kind, never the text.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class RuntimeError : public Error {
 public:
  using Error::Error;
};

class NotImplementedError : public RuntimeError {
 public:
  NotImplementedError() : RuntimeError("") {}
  using RuntimeError::RuntimeError;
};

class TypeError : public Error {
 public:
  using Error::Error;
};

class ValueError : public Error {
 public:
  using Error::Error;
};

// A position that a sequence does not have.
class IndexError : public Error {
 public:
  using Error::Error;
};

// A missing key. Its text is the literal text of the key: 'job_id'.
class KeyError : public Error {
 public:
  explicit KeyError(const Value& key);
  const Value& key() const noexcept { return key_; }

 private:
  Value key_;
};

// A failed system call on a path. Its text is "[Errno N] <strerror>: <literal text of the path>".
class OSError : public Error {
 public:
  OSError(int error_number, const std::filesystem::path& path);
  int error_number() const noexcept { return error_number_; }
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  int error_number_;
  std::filesystem::path path_;
};

}  // namespace velmora::utils
