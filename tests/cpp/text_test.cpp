#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "io/residue_names.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

TEST(Trim, RemovesEveryWhiteSpaceCharacterAtBothEndsOnly) {
    const char* spaces[] = {" ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085", "\u00A0", "\u1680",
                            "\u2000", "\u2005", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
    for (const char* space : spaces) {
        const std::string inner = std::string("a") + space + "b";
        EXPECT_EQ(trim(std::string(space) + inner + space + space), inner) << space;
    }
    const char* not_spaces[] = {"\u200B", "\u180E", "\u2060", "\uFEFF", "\u00A1", "\x1C"};
    for (const char* other : not_spaces) {
        EXPECT_EQ(trim(std::string(other) + "x" + other), std::string(other) + "x" + other) << other;
    }
    EXPECT_EQ(trim(" \u3000 "), "");
}

TEST(Utf8, AcceptsWellFormedAndRejectsEveryMalformedShape) {
    const std::string valid[] = {
        "", "plain ascii text", "\u00E9\u4E2D\U0001F600", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"};
    for (const auto& text : valid) {
        EXPECT_TRUE(is_valid_utf8(text)) << text;
    }
    const std::string invalid[] = {
        "\x80",         "abc\xBF",          "\xC0\xAF",         "\xC1\xBF",         "\xE0\x9F\xBF",
        "\xED\xA0\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
        "\xC3",         "abcdefgh\xE2\x82", "\xE2\x28\xA1",     "\xF0\x9F\x98"};
    for (const auto& text : invalid) {
        EXPECT_FALSE(is_valid_utf8(text)) << testing::PrintToString(text);
    }
}

TEST(ParseF32, AcceptsTheDecimalAndSpecialForms) {
    const std::pair<const char*, float> accepted[] = {
        {"1", 1.0f},
        {"+1.5", 1.5f},
        {"-2.25", -2.25f},
        {"1.", 1.0f},
        {".5", 0.5f},
        {"1e3", 1e3f},
        {"1E+3", 1e3f},
        {"1.5e-3", 1.5e-3f},
        {"-.5e1", -5.0f},
        {"007.100", 7.1f},
        {"0.1", 0.1f},
        {"3.4028235e38", std::numeric_limits<float>::max()},
        {"1e39", INFINITY},
        {"-1e99999999999999999999", -INFINITY},
        {"1e-50", 0.0f},
        {"1.4e-45", std::numeric_limits<float>::denorm_min()},
        {"16777217", 16777216.0f},
        {"inf", INFINITY},
        {"-Infinity", -INFINITY},
        {"+INF", INFINITY},
        {"iNfInItY", INFINITY},
    };
    for (const auto& [text, expected] : accepted) {
        const auto parsed = parse_f32(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(parsed.value), std::bit_cast<std::uint32_t>(expected)) << text;
    }
    EXPECT_TRUE(std::signbit(parse_f32("-1e-60").value));
    for (const char* nan : {"nan", "NaN", "-NAN", "+nan"}) {
        const auto parsed = parse_f32(nan);
        ASSERT_TRUE(parsed.ok()) << nan;
        EXPECT_TRUE(std::isnan(parsed.value)) << nan;
    }
}

TEST(ParseF32, RejectsEverythingElse) {
    EXPECT_EQ(parse_f32("").error, FloatError::empty);
    for (const char* text :
         {".",    "+",   "-",   "e5",      ".e5",       "1e",     "1e+", "1.2.3", " 1", "1 ",    "1,000",  "0x1p3",
          "0x10", "--1", "+-1", "infinit", "infinityy", "nan(1)", "na",  "1f",    "?",  "1e5.0", "\u00A01"}) {
        EXPECT_EQ(parse_f32(text).error, FloatError::invalid) << text;
    }
}

TEST(ParseF32, RoundsToNearestLikeTheCLibrary) {
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> long_length(1, 30);
    std::uniform_int_distribution<int> short_length(1, 9);
    std::uniform_int_distribution<int> exponent(-50, 40);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const bool with_exponent = i % 2 == 0;
        const int digits = with_exponent ? long_length(random) : short_length(random);
        for (int d = 0; d < digits; ++d) {
            if (d == digits / 2) {
                text += '.';
            }
            text += static_cast<char>('0' + digit(random));
        }
        if (with_exponent) {
            text += 'e';
            text += std::to_string(exponent(random));
        }
        const auto parsed = parse_f32(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(parsed.value),
                  std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)))
            << text;
    }
}

// parse_f32 accepts text exactly when the C library reads all of it, and then to the same bits.
Parsed<float, FloatError> parsed_like_strtof(const std::string& text) {
    char* end = nullptr;
    const float expected = std::strtof(text.c_str(), &end);
    const auto parsed = parse_f32(text);
    EXPECT_EQ(parsed.ok(), end == text.c_str() + text.size()) << text;
    if (parsed.ok()) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(parsed.value), std::bit_cast<std::uint32_t>(expected)) << text;
    }
    return parsed;
}

// Short texts of digits, points and signs: accepted exactly when the C library reads the whole
// text, and then to the same bits.
TEST(ParseF32, ShortTextsAgreeWithTheCLibraryOnSyntaxAndValue) {
    std::mt19937_64 random(7);
    const std::string alphabet = "0123456789..+-";
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(1, 10);
    for (int i = 0; i < 50000; ++i) {
        std::string text;
        for (int k = length(random); k > 0; --k) text += alphabet[letter(random)];
        const auto parsed = parsed_like_strtof(text);
        if (!parsed.ok()) {
            EXPECT_EQ(parsed.error, FloatError::invalid) << text;
        }
    }
}

// Coordinates as mmCIF writes them, with every integer width and sign, then each with one byte
// changed (to the bytes around the digits too, and to one that is a digit but for its high
// bit): accepted exactly when the C library reads the whole text, and then to the same bits; the
// short path takes exactly the unsigned texts of its shape.
TEST(ParseF32, ThreeDecimalCoordinatesAgreeWithTheCLibrary) {
    std::mt19937_64 random(2026);
    std::uniform_int_distribution<int> digit(0, 9);
    const std::string replacements = "0123456789.+-e/:\xb0";
    std::uniform_int_distribution<std::size_t> replacement(0, replacements.size() - 1);
    std::size_t short_path = 0;
    const auto check = [&](const std::string& text) {
        parsed_like_strtof(text);
        const float expected = std::strtof(text.c_str(), nullptr);
        bool shaped = text.size() >= 5 && text.size() <= 8 && text[text.size() - 4] == '.';
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (i != text.size() - 4) shaped = shaped && text[i] >= '0' && text[i] <= '9';
        }
        float value = -1.0f;
        ASSERT_EQ(parse_three_decimals(text, value), shaped) << text;
        if (shaped) {
            ++short_path;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(expected)) << text;
        }
    };
    for (int i = 0; i < 40000; ++i) {
        std::string text = i % 3 == 0 ? "" : i % 3 == 1 ? "-" : "+";
        for (int width = 1 + i % 4; width > 0; --width) text += static_cast<char>('0' + digit(random));
        text += '.';
        for (int decimal = 0; decimal < 3; ++decimal) text += static_cast<char>('0' + digit(random));
        check(text);
        std::string changed = text;
        changed[random() % changed.size()] = replacements[replacement(random)];
        check(changed);
    }
    for (const char* text : {"0.000", "9999.999", "0000.000", "1234.567", "1.2345", "12.34", "12345.678", ".1234"}) {
        check(text);
    }
    EXPECT_GT(short_path, 15000u);
}

// The fixed-column path must give what trimming and the general parser give, to the bit, on
// every field: "%8.3f" fields of random values, the same with one byte changed, and random
// short texts over the characters that matter.
TEST(ParseF32Field, AgreesWithTrimThenParseOnEveryField) {
    std::mt19937_64 random(11);
    const std::string alphabet = " -+.0123456789e\t";
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    std::uniform_real_distribution<double> coordinate(-10000.0, 10000.0);
    std::uniform_int_distribution<int> length(0, 10);
    std::uniform_int_distribution<std::size_t> position(0, 7);
    std::size_t fixed_point = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string field;
        if (i % 3 == 2) {
            for (int k = length(random); k > 0; --k) field += alphabet[letter(random)];
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%8.3f", coordinate(random) / (i % 7 == 0 ? 1000.0 : 1.0));
            field = text;
            if (i % 3 == 1) field[position(random) % field.size()] = alphabet[letter(random)];
        }
        float fast = 0.0f;
        fixed_point += parse_three_decimals_in_eight(field, fast) ? 1 : 0;
        const auto expected = parse_f32(trim(field));
        const auto parsed = parse_f32_field(field);
        ASSERT_EQ(parsed.error, expected.error) << '"' << field << '"';
        ASSERT_EQ(std::bit_cast<std::uint32_t>(parsed.value), std::bit_cast<std::uint32_t>(expected.value))
            << '"' << field << '"';
    }
    EXPECT_GT(fixed_point, 50000u);  // the fast path was really taken
}

// The three coordinate columns read at once take a line exactly when the one-column path takes
// each of its fields, and give its values to the bit: fields as the previous test makes them
// (cut or padded to eight bytes, bytes beyond ASCII among the changes), mixed in every order.
TEST(ParseF32Field, ThreeColumnsAtOnceAgreeWithOneAtATime) {
    std::mt19937_64 random(12);
    const std::string alphabet = " -+.0123456789e\t\xb5";
    std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
    std::uniform_real_distribution<double> coordinate(-1000.0, 10000.0);
    std::uniform_int_distribution<std::size_t> position(0, 7);
    const auto field = [&](int kind) {
        std::string text;
        if (kind == 2) {
            for (int k = 0; k < 8; ++k) text += alphabet[letter(random)];
            return text;
        }
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%8.3f", coordinate(random) / (random() % 7 == 0 ? 1000.0 : 1.0));
        text = std::string(buffer).substr(0, 8);
        text.resize(8, ' ');
        if (kind == 1) text[position(random)] = alphabet[letter(random)];
        return text;
    };
    std::size_t taken = 0;
    for (int i = 0; i < 300000; ++i) {
        // Mostly clean fields, so that lines with one odd field out are common.
        std::string line;
        for (int axis = 0; axis < 3; ++axis) line += field(random() % 4 == 0 ? static_cast<int>(random() % 3) : 0);
        bool one_at_a_time = true;
        float expected[3];
        for (int axis = 0; axis < 3; ++axis) {
            one_at_a_time = parse_three_decimals_in_eight(std::string_view(line).substr(8 * axis, 8), expected[axis]) &&
                            one_at_a_time;
        }
        float xyz[3] = {-1.0f, -1.0f, -1.0f};
        ASSERT_EQ(parse_three_fixed_fields(line.data(), xyz), one_at_a_time) << '"' << line << '"';
        if (!one_at_a_time) continue;
        ++taken;
        for (int axis = 0; axis < 3; ++axis) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(xyz[axis]), std::bit_cast<std::uint32_t>(expected[axis]))
                << '"' << line << '"';
        }
    }
    EXPECT_GT(taken, 100000u);
    EXPECT_LT(taken, 250000u);
}

TEST(ThousandthsToFloat, MatchesTheDivisionForEveryMantissaOfSevenDigits) {
    for (std::uint32_t mantissa = 0; mantissa < 10000000; ++mantissa) {
        const float divided = static_cast<float>(mantissa) / 1000.0f;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(thousandths_to_float(mantissa)), std::bit_cast<std::uint32_t>(divided))
            << mantissa;
    }
}

TEST(ParseI32, AcceptsSignedDigitsAndNamesEachFailure) {
    const std::pair<const char*, std::int32_t> accepted[] = {{"0", 0},
                                                             {"+17", 17},
                                                             {"-17", -17},
                                                             {"0042", 42},
                                                             {"2147483647", 2147483647},
                                                             {"-2147483648", INT32_MIN},
                                                             {"000000000000002147483647", 2147483647},
                                                             {"999999999", 999999999},
                                                             {"-999999999", -999999999},
                                                             {"-0", 0},
                                                             {"1234567890", 1234567890}};
    for (const auto& [text, expected] : accepted) {
        const auto parsed = parse_i32(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(parsed.value, expected) << text;
    }
    const std::pair<const char*, IntegerError> rejected[] = {
        {"", IntegerError::empty},
        {"+", IntegerError::invalid_digit},
        {"-", IntegerError::invalid_digit},
        {" 1", IntegerError::invalid_digit},
        {"1.0", IntegerError::invalid_digit},
        {"+-1", IntegerError::invalid_digit},
        {"12a", IntegerError::invalid_digit},
        {"-12345678x", IntegerError::invalid_digit},
        {"\u0661", IntegerError::invalid_digit},
        {"2147483648", IntegerError::too_large},
        {"-2147483649", IntegerError::too_small},
        {"99999999999999999999", IntegerError::too_large},
    };
    for (const auto& [text, expected] : rejected) {
        const auto parsed = parse_i32(text);
        ASSERT_FALSE(parsed.ok()) << text;
        EXPECT_EQ(*parsed.error, expected) << text;
    }
}

TEST(OneLetterCode, MapsTableNamesAfterFullUpperCasing) {
    const std::pair<const char*, char> cases[] = {
        {"ALA", 'A'},      {"ARG", 'R'},    {"ASN", 'N'}, {"ASP", 'D'}, {"CYS", 'C'}, {"GLN", 'Q'},      {"GLU", 'E'},
        {"GLY", 'G'},      {"HIS", 'H'},    {"HID", 'H'}, {"HIE", 'H'}, {"HIP", 'H'}, {"ILE", 'I'},      {"LEU", 'L'},
        {"LYS", 'K'},      {"MET", 'M'},    {"MSE", 'M'}, {"PHE", 'F'}, {"PRO", 'P'}, {"SER", 'S'},      {"THR", 'T'},
        {"TRP", 'W'},      {"TYR", 'Y'},    {"VAL", 'V'}, {"ala", 'A'}, {"gLy", 'G'}, {"\u0131le", 'I'},  // dotless i
        {"\u017Fer", 'S'},                                                                                // long s
        {"\u00DFP", 'X'},                    // sharp s gives "SSP"
        {"LY\u017F", 'K'}, {"\uFB01", 'X'},  // "FI" is two letters
        {"P\uFB05", 'X'},                    // "PST"
        {"\uFB00E", 'X'},                    // "FFE"
        {"PH\u0435", 'X'},                   // Cyrillic e
        {"\u0130LE", 'X'},                   // dotted capital I stays non-ASCII
        {"ALAA", 'X'},     {"AL", 'X'},     {"", 'X'},    {"UNK", 'X'}, {"HOH", 'X'}, {"A\xFFL", 'X'},
    };
    for (const auto& [name, code] : cases) {
        EXPECT_EQ(one_letter_code(name), code) << name;
    }
    EXPECT_EQ(one_letter_code("\u00DFER"), 'X');  // "SSER" has four letters
}

}  // namespace
}  // namespace tarnix::io
