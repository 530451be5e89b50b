// Marks the symbols libframegate.so exports; everything else is hidden.
#pragma once

#define FRAMEGATE_API __attribute__((visibility("default")))
