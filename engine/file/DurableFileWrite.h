#pragma once

// Small files that must survive a crash whole or not at all, such as the
// stored transfers. The bytes go to a temporary file in the target's folder,
// are flushed to the disk, and only then does the file get its final name,
// after which the folder is flushed too. A kill, a power cut or a full disk at
// any moment leaves under the final name either what was there before or the
// complete new file, never a part of it. What such an interruption can leave
// is a temporary file, named "<name>.XXXXXX.tmp" (six letters or digits),
// which RemoveLeftoverTemporaries clears.
//
// Threading: no state of its own; safe from any thread. Two writers of the
// same name at once are not supported: one of them fails.

#include <string>

namespace tvl {

// Creates folder/name holding exactly `bytes`, never replacing an existing
// entry: when the name is taken, throws FileInUseException and changes
// nothing. Other failures throw the FileException family
// (FileInsufficientSpaceException for a full disk or a file size limit) and
// leave no temporary file behind. The folder must exist.
void WriteNewFileDurably(const std::string& folder, const std::string& name, const std::string& bytes);

// The same for a file that may already exist: readers see the old content or
// the new one whole, whatever happens during the write. Two writers at once
// both succeed; the last rename wins.
void ReplaceFileDurably(const std::string& folder, const std::string& name, const std::string& bytes);

// Removes from the folder the temporary files that interrupted writes of
// `name` left, whatever their age, and those of any other name that are older
// than `othersAfterSeconds` (their writers are long gone: a write takes
// milliseconds). Never throws; what cannot be removed stays.
void RemoveLeftoverTemporaries(const std::string& folder, const std::string& name, long othersAfterSeconds);

// True for a name that WriteNewFileDurably gives its temporary files.
bool IsDurableWriteTemporary(const std::string& entry);

}  // namespace tvl
