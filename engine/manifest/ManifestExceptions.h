#pragma once

// The manifest exception family. Reading failures are ManifestParseException;
// the locator, stream and aborted kinds come from fetching, and carry the
// failed request's error details as their message when there was a request.

#include <new>
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

// The publisher's keys do not vouch for what arrived: fetching it again from
// the same place would not help, and the user is told it could not be verified.
class ManifestVerificationException : public ManifestException {
public:
    using ManifestException::ManifestException;
};

// Runs body so that whatever a malformed input makes the tree or the number
// parsers throw reaches the caller as ManifestParseException, the one error
// every reader promises. Running out of memory is not the input's fault and
// passes through unchanged.
template <typename Body>
void WithManifestParseErrors(Body&& body) {
    try {
        body();
    } catch (const ManifestParseException&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        throw ManifestParseException();
    }
}

}  // namespace tvl
