#pragma once
// One of two values, chosen by a function call rather than "?:". In a
// coroutine body gcc 12 destroys the temporaries of a conditional
// expression twice; a call's arguments it handles right.
#include <utility>

template <typename T>
T Pick(bool first, T a, T b) {
    return first ? std::move(a) : std::move(b);
}
