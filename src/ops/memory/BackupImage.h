// The start and the end of a backup's image file, as free functions so that the serial and
// the LAN backup handle it alike.
//
// A backup writes its image to "<target>.partial" (the partial image of MemImageFile, which
// the run holds locked from its creation to its end) and gives it the target's name only
// when every area has been read and the file holds exactly what its header promises. A
// target that is not a regular file is never replaced; a partial file that another backup
// is writing is never touched.
//
// Thread-safety: no state; the caller owns the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ops/memory/MemImageFile.h"

namespace kz {

struct BackupFileStep {
    int error = 0;                   // a message id; 0 when the run may go on as it is
    std::vector<std::string> lines;  // status lines that say what happened to the files
};

// Creates the partial image of target with the header image holds. Refused with 5049, each
// with its line, before any data is read: a target that is not a regular file (4031), a
// partial file another backup is writing (4040), and a name that cannot be made a fresh
// file (4030).
BackupFileStep BeginBackupImage(MemImageFile& image, const std::string& target);

// The end of a run whose partial image was created (error: the run's error so far). With
// error 0 the image takes the target's name, or the run fails with 5049: the file is not
// complete, the target is not a regular file (4031), or the partial file was replaced by
// another one meanwhile (4041). When the run fails, a partial file that is still its own
// is named (3318). The partial image is released in every case.
BackupFileStep EndBackupImage(MemImageFile& image, const std::string& target, int error,
                              std::uint64_t dataBytes);

}  // namespace kz
