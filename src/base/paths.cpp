#include "base/paths.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "platform/platform.h"

void TrimTrailingSeparators(char* path) {
  size_t len = strlen(path);
  while (len > 1 && IsSeparator(path[len - 1])) {
    if (len == 3 && path[1] == ':') return;  // a drive root keeps its separator
    path[--len] = '\0';
  }
}

bool CopyPath(PathBuffer* out, const char* path) {
  if (strlen(path) < sizeof out->text) {
    strcpy(out->text, path);
    return true;
  }
  out->text[0] = '\0';
  return false;
}

bool JoinPath(PathBuffer* out, const char* dir, const char* name) {
  size_t len = strlen(dir);
  char separator[2] = {platform::kPathSeparator, '\0'};
  const char* sep = (len == 0 || IsSeparator(dir[len - 1])) ? "" : separator;
  return FormatComplete(FormatBounded(out->text, sizeof out->text, "%s%s%s", dir, sep, name),
                        sizeof out->text);
}

bool StagedPathFor(PathBuffer* out, const char* path) {
  if (FormatComplete(FormatBounded(out->text, sizeof out->text, "%s.QVCNEW", path),
                     sizeof out->text)) {
    return true;
  }
  // Never a shortened name: the staged-file cleanup deletes whatever a non-empty field names.
  out->text[0] = '\0';
  return false;
}

bool IsAbsolutePath(const char* path) {
  // "C:NAME" is drive-relative on Windows, which only the system resolves: taken as it is.
  if (platform::kDriveLetterPaths && isalpha(static_cast<unsigned char>(path[0])) &&
      path[1] == ':') {
    return true;
  }
  if (IsSeparator(path[0]) && IsSeparator(path[1])) return true;
  return platform::kSingleSlashIsAbsolute && path[0] == '/';
}

bool FindHomeAndReport(RunPaths* paths, const char** message) {
  if (!platform::CurrentDirectory(paths->home.text, sizeof paths->home.text)) {
    *message = "ERROR: cannot determine current directory.\n";
    return false;
  }
  TrimTrailingSeparators(paths->home.text);
  if (!JoinPath(&paths->report, paths->home.text, "QVCULLDB32_REPORT.TXT")) {
    *message = "ERROR: report path is too long.\n";
    return false;
  }
  return true;
}

namespace {

constexpr size_t kNodeFileMinimum = 134;
constexpr size_t kNodeFileReadSize = 192;
constexpr size_t kNodeFieldCapacity = 28;
constexpr size_t kWorkFieldOffset = 18;
constexpr size_t kMessageFieldOffset = 105;

using NodeField = TextBuffer<kNodeFieldCapacity + 1>;

// Copies a length-prefixed QVNODE.DAT field; false when the field is not set.
bool ReadNodeField(const unsigned char* node, size_t offset, NodeField* out) {
  size_t length = node[offset];
  if (length < 1 || length > kNodeFieldCapacity) return false;
  memcpy(out->text, node + offset + 1, length);
  out->text[length] = '\0';
  TrimTrailingSeparators(out->text);
  return true;
}

// Resolves one directory from its field (or the default name when unset).
bool ResolveDirectory(const char* home, bool fieldSet, const char* field, const char* defaultName,
                      PathBuffer* out) {
  if (!fieldSet) return JoinPath(out, home, defaultName);
  if (IsAbsolutePath(field)) return CopyPath(out, field);
  return JoinPath(out, home, field);
}

}  // namespace

bool ResolveDatabaseDirectories(RunPaths* paths, MessageBuffer* reason) {
  PathBuffer nodePath;
  if (!JoinPath(&nodePath, paths->home.text, "QVNODE.DAT")) {
    return FailWith(reason, "QVNODE.DAT path is too long.");
  }
  FILE* node = nullptr;
  const uint32_t openError = platform::OpenRegularForReading(nodePath.text, &node);
  if (openError == platform::kErrorNotRegularFile) {
    return FailWith(reason, "QVNODE.DAT is not a regular file: %.180s", nodePath.text);
  }
  if (openError != 0) {
    return FailWith(reason, "QVNODE.DAT not found in the current directory: %.180s", nodePath.text);
  }
  unsigned char bytes[kNodeFileReadSize];
  size_t got = fread(bytes, 1, sizeof bytes, node);
  fclose(node);
  if (got < kNodeFileMinimum) {
    return FailWith(reason, "QVNODE.DAT is too short (%lu bytes; need at least 134).",
                    static_cast<unsigned long>(got));
  }
  NodeField workField;
  NodeField messageField;
  bool workSet = ReadNodeField(bytes, kWorkFieldOffset, &workField);
  bool messageSet = ReadNodeField(bytes, kMessageFieldOffset, &messageField);
  if (!ResolveDirectory(paths->home.text, workSet, workField.text, "WORK", &paths->work)) {
    return FailWith(reason, "%s",
                    workSet ? "Work path is too long." : "Default WORK path is too long.");
  }
  if (!ResolveDirectory(paths->home.text, messageSet, messageField.text, "MESSAGE",
                        &paths->message)) {
    return FailWith(reason, "%s",
                    messageSet ? "Message path is too long." : "Default MESSAGE path is too long.");
  }
  TrimTrailingSeparators(paths->work.text);
  TrimTrailingSeparators(paths->message.text);
  return true;
}

bool BuildRunFilePaths(RunPaths* paths) {
  return JoinPath(&paths->whosOn, paths->work.text, "QVWHOSON.DAT") &&
         JoinPath(&paths->usersDat, paths->work.text, "QVUSERS.DAT") &&
         JoinPath(&paths->usersPtr, paths->work.text, "QVUSERS.PTR") &&
         JoinPath(&paths->lockFile, paths->message.text, "QVLINK.BSY") &&
         JoinPath(&paths->legacyCom, paths->home.text, "QVCULLDB.COM") &&
         JoinPath(&paths->purgedLog, paths->work.text, "QVPURGED.USR") &&
         JoinPath(&paths->commitMarker, paths->work.text, kCommitMarkerName);
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameNameIgnoringCase(const char* a, const char* b) {
  while (*a != '\0' && UpperAscii(*a) == UpperAscii(*b)) ++a, ++b;
  return *a == '\0' && *b == '\0';
}

size_t FirstCreatableIndex(const char* root) {
  const size_t length = strlen(root);
  if (length >= 3 && isalpha(static_cast<unsigned char>(root[0])) && root[1] == ':' &&
      IsSeparator(root[2])) {
    return 3;
  }
  if (!(IsSeparator(root[0]) && IsSeparator(root[1]))) return 0;

  size_t i = 2;
  while (root[i] != '\0' && !IsSeparator(root[i])) ++i;  // server
  while (IsSeparator(root[i])) ++i;
  while (root[i] != '\0' && !IsSeparator(root[i])) ++i;  // share
  // A root that is the server or the share itself has nothing below the share to
  // create; only the whole-root check remains.
  if (root[i] == '\0') return length;
  while (IsSeparator(root[i])) ++i;
  return i;
}

bool ParentDirectory(const char* path, PathBuffer* parent) {
  if (!CopyPath(parent, path)) return false;
  char* text = parent->text;
  size_t end = strlen(text);
  while (end > 0 && !IsSeparator(text[end - 1])) --end;
  while (end > 1 && IsSeparator(text[end - 1])) --end;
  text[end] = '\0';
  return end > 0;
}
