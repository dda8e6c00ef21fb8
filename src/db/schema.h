// The start-up statements of relay.db: three pragmas, then the tables and
// indices, each through DbExecLogged so a failure is logged and the next
// statement still runs. Start-up only, before other threads exist.
//
// Beside the tables, relay_counts holds the figures the status reports show
// (accounts, live files, stored chunks and their bytes). Triggers keep it
// exact in the same transaction as every write, whichever connection makes
// it, so the status reports need no table scans. It is filled from the
// tables when it is first created.
#pragma once

namespace kelvra {

void RunStartupStatements();

}  // namespace kelvra
