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

bool JoinPath(char* out, const char* dir, const char* name) {
  size_t len = strlen(dir);
  char separator[2] = {platform::kPathSeparator, '\0'};
  const char* sep = (len == 0 || IsSeparator(dir[len - 1])) ? "" : separator;
  return FormatComplete(FormatBounded(out, kPathBufferSize, "%s%s%s", dir, sep, name),
                        kPathBufferSize);
}

bool StagedPathFor(char* out, const char* path) {
  if (FormatComplete(FormatBounded(out, kPathBufferSize, "%s.QVCNEW", path), kPathBufferSize)) {
    return true;
  }
  // Never a shortened name: the staged-file cleanup deletes whatever a non-empty field names.
  out[0] = '\0';
  return false;
}

bool IsAbsolutePath(const char* path) {
  if (isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') return true;
  if (IsSeparator(path[0]) && IsSeparator(path[1])) return true;
  return platform::kSingleSlashIsAbsolute && path[0] == '/';
}

bool FindHomeAndReport(RunPaths* paths, const char** message) {
  if (!platform::CurrentDirectory(paths->home, sizeof paths->home)) {
    *message = "ERROR: cannot determine current directory.\n";
    return false;
  }
  TrimTrailingSeparators(paths->home);
  if (!JoinPath(paths->report, paths->home, "QVCULLDB32_REPORT.TXT")) {
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
constexpr size_t kReasonSize = 256;

// Copies a length-prefixed QVNODE.DAT field; false when the field is not set.
bool ReadNodeField(const unsigned char* node, size_t offset, char* out) {
  size_t length = node[offset];
  if (length < 1 || length > kNodeFieldCapacity) return false;
  memcpy(out, node + offset + 1, length);
  out[length] = '\0';
  TrimTrailingSeparators(out);
  return true;
}

// Resolves one directory from its field (or the default name when unset).
bool ResolveDirectory(const char* home, bool fieldSet, const char* field,
                      const char* defaultName, char* out) {
  if (!fieldSet) return JoinPath(out, home, defaultName);
  if (IsAbsolutePath(field)) {
    snprintf(out, kPathBufferSize, "%s", field);
    return true;
  }
  return JoinPath(out, home, field);
}

}  // namespace

bool ResolveDatabaseDirectories(RunPaths* paths, char* reason) {
  char nodePath[kPathBufferSize];
  if (!JoinPath(nodePath, paths->home, "QVNODE.DAT")) {
    FormatBounded(reason, kReasonSize, "%s", "QVNODE.DAT path is too long.");
    return false;
  }
  FILE* node = fopen(nodePath, "rb");
  if (node == nullptr) {
    FormatBounded(reason, kReasonSize, "QVNODE.DAT not found in the current directory: %.180s",
                  nodePath);
    return false;
  }
  unsigned char bytes[kNodeFileReadSize];
  size_t got = fread(bytes, 1, sizeof bytes, node);
  fclose(node);
  if (got < kNodeFileMinimum) {
    FormatBounded(reason, kReasonSize, "QVNODE.DAT is too short (%lu bytes; need at least 134).",
                  static_cast<unsigned long>(got));
    return false;
  }
  char workField[kNodeFieldCapacity + 1];
  char messageField[kNodeFieldCapacity + 1];
  bool workSet = ReadNodeField(bytes, kWorkFieldOffset, workField);
  bool messageSet = ReadNodeField(bytes, kMessageFieldOffset, messageField);
  if (!ResolveDirectory(paths->home, workSet, workField, "WORK", paths->work)) {
    FormatBounded(reason, kReasonSize, "%s",
                  workSet ? "Work path is too long." : "Default WORK path is too long.");
    return false;
  }
  if (!ResolveDirectory(paths->home, messageSet, messageField, "MESSAGE", paths->message)) {
    FormatBounded(reason, kReasonSize, "%s",
                  messageSet ? "Message path is too long." : "Default MESSAGE path is too long.");
    return false;
  }
  TrimTrailingSeparators(paths->work);
  TrimTrailingSeparators(paths->message);
  return true;
}

bool BuildRunFilePaths(RunPaths* paths) {
  return JoinPath(paths->whosOn, paths->work, "QVWHOSON.DAT") &&
         JoinPath(paths->usersDat, paths->work, "QVUSERS.DAT") &&
         JoinPath(paths->usersPtr, paths->work, "QVUSERS.PTR") &&
         JoinPath(paths->lockFile, paths->message, "QVLINK.BSY") &&
         JoinPath(paths->legacyCom, paths->home, "QVCULLDB.COM");
}
