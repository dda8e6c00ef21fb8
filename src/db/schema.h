// The start-up statements of relay.db: three pragmas, then the tables and
// indices, each through DbExecLogged so a failure is logged and the next
// statement still runs. Start-up only, before other threads exist.
#pragma once

namespace kelvra {

void RunStartupStatements();

}  // namespace kelvra
