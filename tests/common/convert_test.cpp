#include "common/apperror.h"
#include "common/convert.h"
#include <gtest/gtest.h>

namespace {
template <class F>
int ErrorOf(F f) {
    try {
        f();
    } catch (const AppError& e) {
        EXPECT_FALSE(e.description().isEmpty());
        return e.number();
    }
    return 0;
}
QString T(const char* s) { return QString::fromUtf8(s); }
}  // namespace

// Each text read by one conversion: its value, or its error number.
template <class F>
void ExpectReads(F convert, std::initializer_list<std::tuple<const char*, int, int>> cases) {
    for (const auto& [text, value, error] : cases) {
        int got = 0;
        EXPECT_EQ(ErrorOf([&] { got = int(convert(T(text))); }), error) << text;
        if (!error) {
            EXPECT_EQ(got, value) << text;
        }
    }
}

TEST(Convert, NumbersAndBooleansFollowThePlatformRules) {
    // Halves go to the even neighbour.
    ExpectReads(ToInt16, {{" 12 ", 12, 0}, {"2.5", 2, 0}, {"3.5", 4, 0}, {"-1", -1, 0}, {"x", 0, Err::TypeMismatch},
                          {"", 0, Err::TypeMismatch}, {"12abc", 0, Err::TypeMismatch}, {"32768", 0, Err::Overflow}});
    ExpectReads(ToInt32, {{"1e3", 1000, 0}, {"&H10", 16, 0}, {"1e300", 0, Err::Overflow}});
    ExpectReads(ToByte, {{"255", 255, 0}, {"255.4", 255, 0}, {"300", 0, Err::Overflow}, {"-1", 0, Err::Overflow},
                         {"256", 0, Err::Overflow}, {"255.5", 0, Err::Overflow}});
    ExpectReads(ToBool, {{"True", 1, 0}, {"false", 0, 0}, {"-1", 1, 0}, {" 1 ", 1, 0}, {"0", 0, 0}, {"1e3", 1, 0},
                         {"Ja", 0, Err::TypeMismatch}, {"", 0, Err::TypeMismatch}});
    EXPECT_EQ(BoolText(true), T("True"));
    EXPECT_EQ(BoolText(false), T("False"));
}
