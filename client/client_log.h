// Every line the client logs names "robotClient" as its source.
#pragma once

#include "log/log.h"

#define CLIENT_LOG(level, ...) logPrint("robotClient", __func__, __LINE__, (level), __VA_ARGS__)
