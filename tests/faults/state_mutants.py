# Planted faults in the state a run says it left and the leftovers it names, for
# ../shared/tools/mutate.py --fast-only.
MUTANTS = [
    ("failed-rollback-says-rolled-back", "src/commit/commit.cpp",
     "return s.pack->rollbackOk ? LiveEvent::RolledBack : LiveEvent::RollbackFailed;",
     "return LiveEvent::RolledBack;",
     "a sysop told the database was rolled back reopens the nodes on a mix"),
    ("unchanged-without-recheck", "src/cli/database_state.cpp",
     "  for (int i = 0; i < 3; ++i) AddLook(&looks, userFiles[i]->path.text, userFiles[i], names[i]);\n",
     "",
     "a database another program changed is reported untouched"),
    ("state-names-a-later-change", "src/cli/database_state.cpp",
     "    if (!file.looked) LookStep(i, looks, &ignored);\n"
     "    if (file.look != FreshLook::Same) return {file.name, file.look};\n  }\n  return {};",
     "    static FirstDifference later;\n    if (!file.looked) LookStep(i, looks, &ignored);\n"
     "    if (file.look != FreshLook::Same) later = {file.name, file.look};\n"
     "    if (i + 1 == looks->count) return later;\n  }\n  return {};",
     "the sysop is sent after the wrong file (the looks run side by side, the last to differ wins)"),
    ("marker-run-says-unchanged", "src/cli/database_state.cpp",
     "    case LiveState::EarlierMarker:\n      DescribeEarlierMarker(f, lines);",
     "    case LiveState::EarlierMarker:\n      DescribeUnwritten(f, lines);",
     "a run refused over a commit marker calls a mixed database unchanged"),
    ("incomplete-backup-unnamed", "src/cli/database_state.cpp",
     "if (f.pack->backupBegun && !f.pack->backupDone && f.options != nullptr) {", "if (false) {",
     "an interrupted run's half-made backup is never named"),
    ("kept-marker-unnamed", "src/cli/database_state.cpp",
     "if (ownMarker && IsRegularFile", "if (false && IsRegularFile",
     "a run that leaves its commit marker does not say so"),
    ("staged-leftovers-unreported", "src/cli/leftovers.cpp",
     "  if (found.count == 0) return;\n", "  return;\n",
     "stale staged files the size of the database go unmentioned"),
    ("incomplete-backups-unreported", "src/cli/leftovers.cpp",
     "    ++incomplete;\n", "    continue;\n",
     "an earlier run's incomplete backup is never named"),
    ("listing-failure-silent", "src/cli/leftovers.cpp",
     "  if (search.failed) WarnUnlisted(dir, counters);", "",
     "a listing that broke off is taken for one that found nothing"),
]
