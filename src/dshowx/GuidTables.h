// The name list behind Guid2Name; private to the value text code.
#pragma once

#include <dshowx/DSParsers.h>

// Mutable head: the lookup sorts each table in place once.
CGuidNameNode* GuidTables_Head();
