#include "i18n/plural.h"

#include <cctype>
#include <string>

namespace i18n {

namespace {

// Deeper nesting than any real rule needs; bounds the parser's and the
// evaluator's recursion for whatever a catalogue file holds.
constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxNodes = 512;

} // namespace

class PluralParser {
public:
    explicit PluralParser(std::string_view s) : s_(s) {}

    bool Run(PluralRule& rule)
    {
        rule_ = &rule;
        const std::int32_t root = Conditional(0);
        SkipSpace();
        if (root < 0)
            return false;
        if (pos_ < s_.size() && s_[pos_] == ';')
            ++pos_;
        SkipSpace();
        if (pos_ != s_.size())
            return false;
        rule.root_ = root;
        return true;
    }

private:
    using Op = PluralRule::Op;

    void SkipSpace()
    {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }
    bool Take(std::string_view token)
    {
        SkipSpace();
        if (s_.substr(pos_, token.size()) != token)
            return false;
        pos_ += token.size();
        return true;
    }
    std::int32_t Add(Op op, std::int32_t a = -1, std::int32_t b = -1, std::int32_t c = -1,
                     unsigned long value = 0)
    {
        if (rule_->nodes_.size() >= kMaxNodes)
            return -1;
        rule_->nodes_.push_back({op, value, a, b, c});
        return static_cast<std::int32_t>(rule_->nodes_.size() - 1);
    }

    std::int32_t Conditional(int depth)
    {
        if (depth > kMaxDepth)
            return -1;
        const std::int32_t cond = Binary(0, depth);
        if (cond < 0 || !Take("?"))
            return cond;
        const std::int32_t yes = Conditional(depth + 1);
        if (yes < 0 || !Take(":"))
            return -1;
        const std::int32_t no = Conditional(depth + 1);
        return no < 0 ? -1 : Add(Op::Cond, cond, yes, no);
    }

    // Binary operators by C precedence, loosest first.
    std::int32_t Binary(int level, int depth)
    {
        struct Tok {
            std::string_view text;
            Op op;
        };
        static const std::vector<std::vector<Tok>> levels = {
            {{"||", Op::Or}},
            {{"&&", Op::And}},
            {{"==", Op::Equal}, {"!=", Op::NotEqual}},
            {{"<=", Op::LessEq}, {">=", Op::GreaterEq}, {"<", Op::Less}, {">", Op::Greater}},
            {{"+", Op::Add}, {"-", Op::Sub}},
            {{"*", Op::Mul}, {"/", Op::Div}, {"%", Op::Mod}},
        };
        if (level == static_cast<int>(levels.size()))
            return Unary(depth);
        std::int32_t left = Binary(level + 1, depth);
        while (left >= 0) {
            const Tok* found = nullptr;
            for (const Tok& t : levels[static_cast<std::size_t>(level)]) {
                SkipSpace();
                // "!" alone is unary; "!=" is a binary operator.
                if (s_.substr(pos_, t.text.size()) == t.text) {
                    found = &t;
                    break;
                }
            }
            if (!found)
                break;
            pos_ += found->text.size();
            const std::int32_t right = Binary(level + 1, depth);
            if (right < 0)
                return -1;
            left = Add(found->op, left, right);
        }
        return left;
    }

    std::int32_t Unary(int depth)
    {
        if (depth > kMaxDepth)
            return -1;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '!' && s_.substr(pos_, 2) != "!=") {
            ++pos_;
            const std::int32_t a = Unary(depth + 1);
            return a < 0 ? -1 : Add(Op::Not, a);
        }
        if (Take("(")) {
            const std::int32_t inner = Conditional(depth + 1);
            return inner >= 0 && Take(")") ? inner : -1;
        }
        if (Take("n"))
            return Add(Op::N);
        SkipSpace();
        if (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
            unsigned long v = 0;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
                const unsigned long digit = static_cast<unsigned long>(s_[pos_] - '0');
                if (v > (~0ul - digit) / 10)
                    return -1;
                v = v * 10 + digit;
                ++pos_;
            }
            return Add(Op::Number, -1, -1, -1, v);
        }
        return -1;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    PluralRule* rule_ = nullptr;
};

PluralRule::PluralRule() = default;

std::optional<PluralRule> PluralRule::Parse(std::string_view forms)
{
    auto skip = [&forms] {
        while (!forms.empty() && std::isspace(static_cast<unsigned char>(forms.front())))
            forms.remove_prefix(1);
    };
    auto take = [&](std::string_view token) {
        skip();
        if (forms.substr(0, token.size()) != token)
            return false;
        forms.remove_prefix(token.size());
        return true;
    };
    if (!take("nplurals") || !take("="))
        return std::nullopt;
    skip();
    int count = 0;
    std::size_t digits = 0;
    while (digits < forms.size() && std::isdigit(static_cast<unsigned char>(forms[digits]))) {
        count = count * 10 + (forms[digits] - '0');
        if (count > 1000)
            return std::nullopt;
        ++digits;
    }
    forms.remove_prefix(digits);
    if (digits == 0 || count < 1 || !take(";") || !take("plural") || !take("="))
        return std::nullopt;
    PluralRule rule;
    rule.count_ = count;
    if (!PluralParser(forms).Run(rule))
        return std::nullopt;
    return rule;
}

PluralRule PluralRule::FromHeader(std::string_view header)
{
    constexpr std::string_view kField = "Plural-Forms:";
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find('\n', at);
        if (end == std::string_view::npos)
            end = header.size();
        const std::string_view line = header.substr(at, end - at);
        if (line.substr(0, kField.size()) == kField) {
            if (auto rule = Parse(line.substr(kField.size())))
                return *rule;
            break;
        }
        at = end + 1;
    }
    return PluralRule();
}

bool PluralRule::Eval(std::int32_t node, unsigned long n, unsigned long& out) const
{
    const Node& x = nodes_[static_cast<std::size_t>(node)];
    unsigned long a = 0, b = 0;
    switch (x.op) {
    case Op::N: out = n; return true;
    case Op::Number: out = x.value; return true;
    case Op::Not:
        if (!Eval(x.a, n, a))
            return false;
        out = !a;
        return true;
    case Op::And:
        if (!Eval(x.a, n, a))
            return false;
        if (!a) {
            out = 0;
            return true;
        }
        if (!Eval(x.b, n, b))
            return false;
        out = b != 0;
        return true;
    case Op::Or:
        if (!Eval(x.a, n, a))
            return false;
        if (a) {
            out = 1;
            return true;
        }
        if (!Eval(x.b, n, b))
            return false;
        out = b != 0;
        return true;
    case Op::Cond:
        if (!Eval(x.a, n, a))
            return false;
        return Eval(a ? x.b : x.c, n, out);
    default:
        break;
    }
    if (!Eval(x.a, n, a) || !Eval(x.b, n, b))
        return false;
    switch (x.op) {
    case Op::Mul: out = a * b; return true;
    case Op::Div:
    case Op::Mod:
        if (b == 0)
            return false;
        out = x.op == Op::Div ? a / b : a % b;
        return true;
    case Op::Add: out = a + b; return true;
    case Op::Sub: out = a - b; return true;
    case Op::Less: out = a < b; return true;
    case Op::Greater: out = a > b; return true;
    case Op::LessEq: out = a <= b; return true;
    case Op::GreaterEq: out = a >= b; return true;
    case Op::Equal: out = a == b; return true;
    case Op::NotEqual: out = a != b; return true;
    default: return false;
    }
}

int PluralRule::FormFor(unsigned long n) const
{
    const int germanic = n == 1 ? 0 : 1;
    if (nodes_.empty())
        return count_ > germanic ? germanic : 0;
    unsigned long form = 0;
    if (!Eval(root_, n, form))
        return count_ > germanic ? germanic : 0;
    if (form >= static_cast<unsigned long>(count_))
        return count_ > germanic ? germanic : 0;
    return static_cast<int>(form);
}

} // namespace i18n
