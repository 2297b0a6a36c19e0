#pragma once
// For handlers that keep no trace entry of their own: a failure is reported
// like any other (error dialog, "error.log") and ends the handler.
#include "common/errorreport.h"
#include <cstdio>
#include <new>

template <class Body>
bool Guarded(Body&& body) {
    try {
        body();
        return true;
    } catch (const AppError& e) {
        try {
            ReportError(e);
        } catch (const AppError& logError) {
            std::fprintf(stderr, "error.log: %s\n", logError.what());
        }
    } catch (const std::bad_alloc&) {
        try { ReportError(AppError(7)); } catch (const AppError&) {}
    }
    return false;
}
