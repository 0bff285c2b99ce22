#pragma once

// The updater application object. The product-specific pieces, the message
// texts and the list of translations, come from a small subclass; the run
// sequence itself belongs to this base class. Used on the main thread.

namespace tvl {

class EmbeddedMessageCatalog;

namespace Updater {

class UpdaterMessages;

class Updater {
public:
    virtual ~Updater() = default;

    // Valid for the updater's whole life.
    virtual const UpdaterMessages& GetMessages() const = 0;
    // Adds one entry per supported language code, each naming the embedded
    // catalog that holds its translation.
    virtual void RegisterCatalogs(EmbeddedMessageCatalog& catalog) const = 0;

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

protected:
    Updater() = default;
};

}  // namespace Updater
}  // namespace tvl
