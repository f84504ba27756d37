// SocketTestSupport.h - what the unit tests that talk over real sockets on
// 127.0.0.1 use: the shared socket helpers (TestSockets.h) together with
// the scaffolding of TestSupport.h, under the namespace they have always used.
#ifndef SOCKETTESTSUPPORT_H
#define SOCKETTESTSUPPORT_H

#include <errno.h>
#include <stdlib.h>

#include "TestSockets.h"
#include "TestSupport.h"

namespace sockettest {

using namespace testsockets;
using testsupport::FileLog;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitFor;

}  // namespace sockettest

#endif  // SOCKETTESTSUPPORT_H
