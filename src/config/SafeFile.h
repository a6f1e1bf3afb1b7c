#pragma once
// The one way the tool and lumoctl write a file: .config exports, service
// reports, the bus monitor's frames, `lumoctl -o`. A file is written whole
// or not at all, and the kind of thing at the name never changes.
//
// Plain C++: the window hands its bytes and a UTF-8 (Windows) or native
// (elsewhere) path, exactly as lumoctl does.

#include <string>
#include <string_view>

struct WriteOptions {
    // "-" names standard output, for a command that offers it; otherwise
    // it is a file called "-".
    bool dashIsStdout = false;
};

// Writes `bytes` to `path`. What is at `path` decides how:
// - a new name or a regular file: the bytes go to a new file in the same
//   folder, which is flushed and synced to disk, every write checked, and
//   only then renamed over `path`; a failure at any step leaves the old
//   file (or no file) under the name, never a shortened one. A replaced
//   file keeps its permissions.
// - a symbolic link: what it points to is written as above and the link
//   stays (a link to a missing name creates the file it names).
// - a FIFO, a character device (/dev/null, a terminal, /dev/stdout into a
//   pipe), or "-" with `dashIsStdout`: a stream, written directly. A FIFO
//   nobody reads fails at once (ENXIO) rather than waiting for a reader; a
//   reader that goes away fails the write (EPIPE) and never kills the
//   program.
// - a directory, a block device or a socket: refused, left as it is.
// On Windows "-" is standard output and every other name goes through the
// temporary file and MoveFileEx; a directory is refused.
//
// Returns true only when every byte reached its place (for a file: after
// the rename). On failure returns false with the reason in `error`, in
// words: "disk full (...)" when the disk or the file-size limit is
// reached, otherwise the system's text or a sentence naming what was
// refused. No temporary file is left behind either way.
bool WriteWholeFile(const std::string &path, std::string_view bytes, std::string &error,
                    const WriteOptions &options = {});

// The reason for a failed write in words: "disk full (No space left on
// device)" for ENOSPC, EDQUOT and EFBIG, else strerror's text.
std::string WriteErrorText(int errnoCode);
