// The windows around the two workflows: update settings and the update
// check, the hidden helper (help, errors), About and the error dialog.
#pragma once

#include "korvane/forms/about_form.h"
#include "korvane/forms/check_updates_form.h"
#include "korvane/forms/error_dialog.h"
#include "korvane/forms/helper_form.h"
#include "korvane/forms/settings_form.h"
