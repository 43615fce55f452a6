#pragma once

#include "src/config/image_configurator.h"

#include <string>
#include <vector>

// What each of the six first-boot values may hold: the window's fields and the headless front end
// check them the same way.
struct field_rule {
    std::string settings::*member;
    const char* label;        // as the form shows it
    const char* option;       // the command-line option that sets it
    const char* pattern;      // ECMAScript, full match, applied to non-empty text only
    const char* error;        // shown when the text is refused
    const char* allowed;      // what is allowed, in words
};

const std::vector<field_rule>& field_rules();
const field_rule& btc_rule();

// Expanded length of a worker-name template: (%d) counts 1, (%d,N) as many as N has digits.
int template_length(const std::string& text);

// Empty text is valid; otherwise a full match of the pattern and, when the text holds a '%',
// an expanded length of at most 15.
bool text_is_valid(const std::string& pattern, const std::string& text);
