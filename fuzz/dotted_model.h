// A second, plainly written reading of dotted IPv4 text for the address fuzzers: the text split
// at its dots, each piece judged on its own, and the address rule's verdict from those pieces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::vector<std::string> SplitDots(const std::string& text)
{
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '.')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

// A non-empty run of decimal digits whose value is at most 255 (leading zeros allowed).
inline bool IsByteField(const std::string& piece, int* value)
{
    if (piece.empty())
        return false;
    long v = 0;
    for (char c : piece) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
        if (v > 255)
            return false;
    }
    *value = static_cast<int>(v);
    return true;
}

// The canonical text of four bytes: what every strictly accepted text must equal.
inline std::string FormatDotted(const uint8_t b[4])
{
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

// Strict form: four fields 0 to 255 without leading zeros, nothing else.
inline bool IsStrictDotted(const std::string& text, uint8_t out[4])
{
    std::vector<std::string> pieces = SplitDots(text);
    if (pieces.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        int v = 0;
        if (!IsByteField(pieces[i], &v) || pieces[i].size() > 3 || (pieces[i].size() > 1 && pieces[i][0] == '0'))
            return false;
        out[i] = static_cast<uint8_t>(v);
    }
    return FormatDotted(out) == text;
}

// The address rule's verdict by name, the rules taken in their order on the split text.
inline std::string ModelVerdict(const std::string& text)
{
    if (text.empty())
        return "empty";
    if (text.size() > 15)
        return "too-long";
    for (char c : text)
        if (c != '.' && (c < '0' || c > '9'))
            return "not-digit";
    std::vector<std::string> pieces = SplitDots(text);
    if (pieces.size() != 4)
        return "fields";
    for (const std::string& p : pieces)
        if (p.empty())
            return "fields";
    for (const std::string& p : pieces)
        if (p.size() > 1 && p[0] == '0')
            return "leading-zero";
    int v[4];
    for (int i = 0; i < 4; ++i)
        if (!IsByteField(pieces[i], &v[i]))
            return "above-255";
    if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0)
        return "unspecified";
    return v[0] >= 224 ? "not-host" : "ok";
}
