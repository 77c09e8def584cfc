// The program's message catalogue: every user-visible text goes through _().
#pragma once

#include <libintl.h>

#define CW_TEXT_DOMAIN "clangwright"

#define _(text) dgettext(CW_TEXT_DOMAIN, text)
#define N_(text) (text)
