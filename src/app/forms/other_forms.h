// The windows around the two workflows: update settings and the update
// check, the hidden helper (help, errors), About and the error dialog.
#pragma once

#include "app/forms/about_form.h"
#include "app/forms/check_updates_form.h"
#include "app/forms/error_dialog.h"
#include "app/forms/helper_form.h"
#include "app/forms/settings_form.h"
