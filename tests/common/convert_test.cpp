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

TEST(Convert, NumbersFollowThePlatformRules) {
    EXPECT_EQ(ToInt16(T(" 12 ")), 12);
    EXPECT_EQ(ToInt32(T("1e3")), 1000);
    EXPECT_EQ(ToInt16(T("2.5")), 2);   // half to even
    EXPECT_EQ(ToInt16(T("3.5")), 4);
    EXPECT_EQ(ToInt16(T("-1")), -1);
    EXPECT_EQ(ToInt32(T("&H10")), 16);
    EXPECT_EQ(ToByte(T("255")), 255);
    EXPECT_EQ(ToByte(T("255.4")), 255);

    EXPECT_EQ(ErrorOf([] { ToInt16(T("x")); }), Err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { ToInt16(T("")); }), Err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { ToInt16(T("12abc")); }), Err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { ToByte(T("300")); }), Err::Overflow);
    EXPECT_EQ(ErrorOf([] { ToByte(T("-1")); }), Err::Overflow);
    EXPECT_EQ(ErrorOf([] { ToByte(T("256")); }), Err::Overflow);
    EXPECT_EQ(ErrorOf([] { ToByte(T("255.5")); }), Err::Overflow);
    EXPECT_EQ(ErrorOf([] { ToInt16(T("32768")); }), Err::Overflow);
    EXPECT_EQ(ErrorOf([] { ToInt32(T("1e300")); }), Err::Overflow);
}

TEST(Convert, Booleans) {
    EXPECT_TRUE(ToBool(T("True")));
    EXPECT_FALSE(ToBool(T("false")));
    EXPECT_TRUE(ToBool(T("-1")));
    EXPECT_TRUE(ToBool(T(" 1 ")));
    EXPECT_FALSE(ToBool(T("0")));
    EXPECT_TRUE(ToBool(T("1e3")));
    EXPECT_EQ(ErrorOf([] { ToBool(T("Ja")); }), Err::TypeMismatch);
    EXPECT_EQ(ErrorOf([] { ToBool(T("")); }), Err::TypeMismatch);
    EXPECT_EQ(BoolText(true), T("True"));
    EXPECT_EQ(BoolText(false), T("False"));
}
