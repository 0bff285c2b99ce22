#pragma once

// The updater application object. The product-specific pieces, the message
// texts and the list of translations, come from a small subclass; the run
// sequence itself belongs to this base class. Used on the main thread.

namespace tvl {

class EmbeddedMessageCatalog;
class UpdaterContext;

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

    // The whole application run: language, transfer service, monitor and
    // dialog are set up, the dialog runs until it ends, and everything is torn
    // down in reverse order. Returns the process exit code: 0, since the user
    // has been told about every failure by then, or 128 + the signal number
    // when SIGINT, SIGTERM or SIGHUP ended the run (in the same order).
    int Run(const UpdaterContext& context);

    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

  protected:
    Updater() = default;
};

}  // namespace Updater
}  // namespace tvl
