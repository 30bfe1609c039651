# Planted durability faults for ../shared/tools/mutate.py: each must fail the power-loss sweeps.
MUTANTS = [
    ("rename-dir-unflushed", "src/platform/platform_posix.cpp", "  return SyncDirectory(dir);",
     "  return 0;", "a power cut undoes renames the run reported done: a packed mix, no marker"),
    ("data-unflushed", "src/platform/platform_posix.cpp",
     "return fflush(stream) == 0 && FsyncRetrying(fileno(stream)) == 0;",
     "return fflush(stream) == 0;", "a power cut empties staged files, backup copies and marker"),
    ("series-dir-unflushed", "src/commit/commit.cpp",
     "if (error != 0 || sync == DirectorySync::WithThisFile) {", "if (error != 0) {",
     "the commit's renames are never made durable: a power cut after its PASS undoes them"),
    ("staged-unflushed", "src/staging/staging_streams.cpp",
     ": !FlushToDiskHashing(stream.file, &stream.written)) {",
     ": (fflush(stream.file) != 0 || !HashStream(stream.file, &stream.written))) {",
     "a power cut after the commit leaves empty user files"),
    ("backup-unflushed", "src/safety/file_snapshot.cpp",
     "  const bool flushed = FlushToDiskHashing(stream, snapshot);",
     "  const bool flushed = strstr(path, \"QVCULLDB-BACKUPS\")\n"
     "                           ? fflush(stream) == 0 && HashStream(stream, snapshot)\n"
     "                           : FlushToDiskHashing(stream, snapshot);",
     "the backup the marker names is empty after a power cut"),
    ("marker-unflushed", "src/commit/commit_marker.cpp",
     "} else if (!SealWrittenFile(stream, staged.text, identity, &written)) {",
     "} else if (fflush(stream) != 0 || fclose(stream) != 0) {",
     "an empty marker after a power cut: a mix the next run cannot name a backup for"),
    ("backup-dirs-unflushed", "src/commit/verified_backup.cpp",
     "  return platform::FlushDirectoryToDisk(workDir) && platform::FlushDirectoryToDisk(messageDir) &&",
     "  return true || platform::FlushDirectoryToDisk(workDir) &&",
     "the backup's entries are lost with the power: the marker names a missing backup"),
    ("backup-root-unflushed", "src/commit/verified_backup.cpp",
     "platform::FlushDirectoryToDisk(pack->backupDirPath.text) &&\n"
     "         ForEachRootDirectory(pack->backupRootPath.text, platform::FlushDirectoryToDisk);",
     "platform::FlushDirectoryToDisk(pack->backupDirPath.text);",
     "a new backup root is lost with the power, and the backup in it"),
]
