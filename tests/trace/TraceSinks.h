#pragma once
#include "support/TraceCapture.h"
