// SPDX-License-Identifier: GPL-3.0-or-later
// A journal sink that keeps every record it is given, for the tests that read
// what the console wrote to the journal, and the value of a record's field.
#pragma once

#include "console/model/LockHistory.h"

#include <QByteArray>

#include <cstddef>
#include <vector>

// The value of the field named so; "(none)" where the record has none.
inline QByteArray JournalField(const TJournalRecord& record, const char* name)
{
    for (const auto& [key, value] : record)
        if (key == name)
            return value;
    return "(none)";
}

class TRecordingSink : public TJournalSink
{
public:
    void Write(const TJournalRecord& record) override { Records.push_back(record); }

    // A field of the record at this index.
    QByteArray Field(std::size_t index, const char* name) const
    {
        return JournalField(Records.at(index), name);
    }
    // A field of the first record of this event (VARNEL_EVENT); "(none)"
    // where there is no such record.
    QByteArray EventField(const char* event, const char* name) const
    {
        for (const TJournalRecord& record : Records)
            if (JournalField(record, "VARNEL_EVENT") == event)
                return JournalField(record, name);
        return "(none)";
    }

    std::vector<TJournalRecord> Records;
};
