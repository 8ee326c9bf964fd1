#pragma once
#include "ui/MsgForm.h"
