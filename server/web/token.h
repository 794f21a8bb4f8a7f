// The dashboard's change token: made once from the OS's random source, kept in the settings store, checked on every change.
#pragma once

#include <string>
#include <string_view>

// A new token carries this many random bytes (192 bits), written as lowercase hex.
inline constexpr size_t kTokenBytes = 24;

// Whether text can be a token: 32 to 128 lowercase hex digits.
bool IsToken(std::string_view text);

// The stored token, or a new one stored for the next start when there is
// none (or the stored text is not a token). stored: whether the token is
// in the store. Empty when the random source failed.
std::string LoadOrMakeToken(bool &stored);

// Equality that takes the same time wherever the texts differ.
bool SameToken(std::string_view token, std::string_view candidate);

// The token a request carries: an Authorization header "Bearer <token>" or
// "token <token>", else the cookie of that name. Empty when none.
std::string_view RequestToken(std::string_view authorization, std::string_view cookies,
                              std::string_view cookieName);
