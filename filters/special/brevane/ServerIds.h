// Resource identifiers of the server: registry scripts of the three classes.
// Version resource 1 and TYPELIB resource 1 are fixed by the platform.
#pragma once

#define IDR_SPYFILTER 101
#define IDR_SPYFILTERPP 102
#define IDR_ABOUTSPYFILTER 107
