#pragma once
// The plural rule a catalogue's header carries ("Plural-Forms: nplurals=3;
// plural=(n==1 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || n%100>=20) ? 1 : 2);").
// The expression is C-like: n, decimal numbers, ( ), ! * / % + - < > <= >=
// == != && || ?: with C's precedence, on unsigned long values.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace i18n {

class PluralRule {
public:
    // Germanic: two forms, the first for exactly one.
    PluralRule();

    // The rule of a catalogue header; Germanic when the header has no
    // "Plural-Forms" line or its rule cannot be parsed.
    static PluralRule FromHeader(std::string_view header);
    // nullopt for anything but a well-formed "nplurals=N; plural=EXPR;".
    static std::optional<PluralRule> Parse(std::string_view forms);

    int Count() const { return count_; }
    // The form for n, 0 .. Count()-1. A rule that divides by zero or names
    // a form past the last answers as Germanic plurals would.
    int FormFor(unsigned long n) const;

private:
    enum class Op : std::uint8_t {
        N, Number, Not, Mul, Div, Mod, Add, Sub, Less, Greater, LessEq, GreaterEq,
        Equal, NotEqual, And, Or, Cond
    };
    struct Node {
        Op op;
        unsigned long value; // for Number
        std::int32_t a, b, c; // operand nodes
    };
    friend class PluralParser;

    bool Eval(std::int32_t node, unsigned long n, unsigned long& out) const;

    int count_ = 2;
    std::vector<Node> nodes_; // empty = Germanic
    std::int32_t root_ = -1;
};

} // namespace i18n
