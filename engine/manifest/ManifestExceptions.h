#pragma once

// The manifest exception family. Reading failures are ManifestParseException;
// the locator, stream and aborted kinds come from fetching, and carry the
// failed request's error details as their message when there was a request.

#include <stdexcept>
#include <string>

namespace tvl {

class ManifestException : public std::runtime_error {
public:
    explicit ManifestException(const std::string& message = std::string()) : std::runtime_error(message) {}
};

class ManifestParseException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

class ManifestOverflowException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// The manifest does not exist where it was looked for, or is not the one asked for.
class ManifestLocatorException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// The transport failed; fetching again may succeed.
class ManifestStreamException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

class ManifestAbortedException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

}  // namespace tvl
