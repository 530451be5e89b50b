#include "storage/StoredFile.h"

#include <cstdio>
#include <cstring>

namespace {

// Days since 1970-01-01 of a plain-calendar date (Howard Hinnant's days_from_civil); months and
// days out of their range still give an order, which is all a camera clock's name needs.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// `count` digits at `text`; their value.
bool Digits(const char* text, int count, uint32_t* value) {
    uint32_t result = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        result = result * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    *value = result;
    return true;
}

// A number as the program writes one (no leading zero but for "0" itself), up to the first
// character that is not a digit; advances `text`.
bool Number(const char** text, uint32_t* value) {
    const char* at = *text;
    if (*at < '0' || *at > '9' || (at[0] == '0' && at[1] >= '0' && at[1] <= '9')) {
        return false;
    }
    uint64_t result = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        result = result * 10 + static_cast<uint64_t>(*at - '0');
        if (result > UINT32_MAX) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(result);
    *text = at;
    return true;
}

int64_t Seconds(uint32_t date, uint32_t time) {
    return DaysFromCivil(date / 10000, date / 100 % 100, date % 100) * 86400 + time / 10000 * 3600 +
           time / 100 % 100 * 60 + time % 100;
}

}  // namespace

bool StoredFile::NameTimeSeconds(const char* text, int64_t* seconds) {
    uint32_t date = 0;
    uint32_t time = 0;
    if (!Digits(text, 8, &date) || text[8] != '_' || !Digits(text + 9, 6, &time)) {
        return false;
    }
    *seconds = Seconds(date, time);
    return true;
}

bool StoredFile::DisplayTimeSeconds(const char* text, int64_t* seconds) {
    if (std::strlen(text) != 19) {
        return false;
    }
    // "YYYY-MM-DD HH:MM:SS" into "YYYYMMDD_HHMMSS".
    const char compact[] = {text[0],  text[1],  text[2],  text[3],  text[5],  text[6],
                            text[8],  text[9],  '_',      text[11], text[12], text[14],
                            text[15], text[17], text[18], '\0'};
    return text[4] == '-' && text[7] == '-' && text[10] == ' ' && text[13] == ':' &&
           text[16] == ':' && NameTimeSeconds(compact, seconds);
}

bool StoredFile::Parse(const char* name, Kind kind, StoredFile* file) {
    StoredFile parsed;
    parsed.kind = kind;
    const char* at = name;
    if (kind == Kind::kAlarmSnapshot) {
        if (std::strncmp(at, "Alarm_", 6) != 0) {
            return false;
        }
        at += 6;
    }
    if (!Digits(at, 8, &parsed.nameDate) || at[8] != '_' || !Digits(at + 9, 6, &parsed.nameTime)) {
        return false;
    }
    at += 15;
    if (kind != Kind::kRecording && (*at++ != '_' || !Number(&at, &parsed.counter))) {
        return false;
    }
    if (*at == '_') {
        ++at;
        uint32_t taken = 0;
        if (!Number(&at, &taken) || taken == 0 || taken > UINT16_MAX) {
            return false;
        }
        parsed.taken = static_cast<uint16_t>(taken);
    }
    if (kind != Kind::kRecording && std::strcmp(at, ".png") == 0) {
        parsed.extension = Extension::kPng;
    } else if (kind == Kind::kRecording && std::strcmp(at, ".mp4") == 0) {
        parsed.extension = Extension::kMp4;
    } else if (kind == Kind::kRecording && std::strcmp(at, ".pvf") == 0) {
        parsed.extension = Extension::kPvf;
    } else {
        return false;
    }
    parsed.nameSeconds = Seconds(parsed.nameDate, parsed.nameTime);
    *file = parsed;
    return true;
}

std::string StoredFile::Name() const {
    char buffer[64];
    const char* prefix = kind == Kind::kAlarmSnapshot ? "Alarm_" : "";
    int length = std::snprintf(buffer, sizeof buffer, "%s%08u_%06u", prefix, nameDate, nameTime);
    if (kind != Kind::kRecording) {
        length += std::snprintf(buffer + length, sizeof buffer - length, "_%u", counter);
    }
    if (taken != 0) {
        length += std::snprintf(buffer + length, sizeof buffer - length, "_%u", taken);
    }
    const char* extensions[] = {".png", ".mp4", ".pvf"};
    std::snprintf(buffer + length, sizeof buffer - length, "%s",
                  extensions[static_cast<int>(extension)]);
    return buffer;
}
