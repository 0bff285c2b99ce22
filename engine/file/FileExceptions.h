#pragma once

// The exceptions of all file access. The file works tell them apart by type to
// choose a transfer error and whether to retry, so none carries a message of
// its own; what() names the class for the logs.

#include <exception>

namespace tvl {

class FileException : public std::exception {
  public:
    ~FileException() override = 0;
};

inline FileException::~FileException() = default;

// The path is malformed, missing or unusable.
class FileBadPathException : public FileException {
  public:
    const char* what() const noexcept override { return "FileBadPathException"; }
};

// The file or drive is locked by someone else, or the file already exists.
class FileInUseException : public FileException {
  public:
    const char* what() const noexcept override { return "FileInUseException"; }
};

// Access denied or write-protected.
class FileInaccessibleException : public FileException {
  public:
    const char* what() const noexcept override { return "FileInaccessibleException"; }
};

// The disk is full or the file too large.
class FileInsufficientSpaceException : public FileException {
  public:
    const char* what() const noexcept override { return "FileInsufficientSpaceException"; }
};

// A view is impossible or an access through a view failed (the file shrank
// underneath it, the disk could not supply or take its bytes).
class FileInvalidMapException : public FileException {
  public:
    const char* what() const noexcept override { return "FileInvalidMapException"; }
};

// An access outside the byte range the file or view was opened for.
class FileOutOfBoundsException : public FileException {
  public:
    const char* what() const noexcept override { return "FileOutOfBoundsException"; }
};

// Any other system error.
class FileUnknownException : public FileException {
  public:
    const char* what() const noexcept override { return "FileUnknownException"; }
};

}  // namespace tvl
