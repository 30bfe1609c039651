// The one rule by which every path of a run is built and cleaned.
#pragma once

#include <cstddef>

#include "base/output.h"
#include "platform/platform.h"

constexpr unsigned kPathBufferSize = 1024;
// Every path lives in one of these: at most 1023 characters and the NUL.
using PathBuffer = TextBuffer<kPathBufferSize>;

using platform::IsSeparator;

// Removes trailing separators while the path is longer than one character; a
// drive root ("C:\\") keeps its separator.
void TrimTrailingSeparators(char* path);

// out = path; false (and out left empty) when it would not fit.
bool CopyPath(PathBuffer* out, const char* path);

// out = dir + separator + name (no separator when dir is empty or already ends
// in one); false when the result would not fit.
bool JoinPath(PathBuffer* out, const char* dir, const char* name);

// out = path + ".QVCNEW"; false (and out left empty) when it would not fit.
bool StagedPathFor(PathBuffer* out, const char* path);

// ASCII upper case of c; every other byte as it is (names are never converted).
char UpperAscii(char c);

// The two names are equal, ASCII letter case ignored (the BBS's file names).
bool SameNameIgnoringCase(const char* a, const char* b);

// Two leading separators; on Windows also a letter and a colon, on POSIX a single '/'.
bool IsAbsolutePath(const char* path);

// Index of the first character from which directories of path may be created or
// judged: a drive root, a UNC server and its share are never created.
size_t FirstCreatableIndex(const char* path);

// The commit marker in WORK: on disk from just before a commit's first rename
// until the database is whole again (see commit/commit_marker.h).
constexpr const char* kCommitMarkerName = "QVCOMMIT.MRK";

// The directories and files of one run, each at most 1023 characters.
struct RunPaths {
  PathBuffer home;
  PathBuffer report;
  PathBuffer work;
  PathBuffer message;
  PathBuffer whosOn;
  PathBuffer usersDat;
  PathBuffer usersPtr;
  PathBuffer lockFile;
  PathBuffer legacyCom;
  PathBuffer purgedLog;
  PathBuffer commitMarker;
};

// Home directory (current directory, trimmed) and report path. On failure
// returns false with the standard-output message in *message.
bool FindHomeAndReport(RunPaths* paths, const char** message);

// Reads QVNODE.DAT and resolves WORK and MESSAGE. On failure returns false with
// the SAFETY ERROR text in reason.
bool ResolveDatabaseDirectories(RunPaths* paths, MessageBuffer* reason);

// Builds the file paths of the run; false when one does not fit.
bool BuildRunFilePaths(RunPaths* paths);

// The directory that holds path: path without its last component and the
// separators before it (a root keeps its separator); false when nothing is left.
bool ParentDirectory(const char* path, PathBuffer* parent);
