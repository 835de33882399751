// The record format: identifiers, event types, metadata, and the frame and
// envelope codec of the log.
#pragma once

#include "format/cursor.h"
#include "format/envelope.h"
#include "format/event_type.h"
#include "format/frame.h"
#include "format/ids.h"
#include "format/limits.h"
#include "format/metadata.h"
#include "format/revision.h"
