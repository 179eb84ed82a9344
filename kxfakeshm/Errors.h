#pragma once

// Failure reporting shared by the library's operations: the text becomes the
// caller's error string and is logged at ERROR from the calling line.

#include <string>

#include "kxlog/KXLog.h"

#define KX_FAIL(errorRef, text)        \
    ([&]() -> bool {                   \
        (errorRef) = (text);           \
        KXLOG_ERROR("{}", (errorRef)); \
        return false;                  \
    }())
