#include "SolView.h"

#include "ReportRecord.h"

Payload::Payload() = default;
Payload::Payload(const Payload& other) = default;
Payload& Payload::operator=(const Payload& other) = default;
Payload::~Payload() = default;

void Payload::Add(const std::string& key, const std::string& value) { pairs_.emplace_back(key, value); }

const std::vector<std::pair<std::string, std::string>>& Payload::Pairs() const { return pairs_; }

SolEvent::SolEvent(int id) : id_(id) {}
SolEvent::SolEvent(int id, std::string json) : id_(id), json_(std::move(json)) {}
SolEvent::SolEvent(SolEvent&& other) noexcept : id_(other.id_), json_(std::move(other.json_))
{
    other.id_ = INVALID_NUM;
}
SolEvent& SolEvent::operator=(SolEvent&& other) noexcept
{
    id_ = other.id_;
    json_ = std::move(other.json_);
    other.id_ = INVALID_NUM;
    return *this;
}
SolEvent::~SolEvent() = default;

int SolEvent::Id() const { return id_; }
const std::string& SolEvent::Json() const { return json_; }

// Stand-in: the text is kept as received; nothing is parsed.
SolEvent SolView::ByJson(int id, const std::string& json) { return SolEvent(id, json); }

// Stand-in: records the event, {"call":"Report","id":<id>,"json":"<text as received>"}.
void SolView::Report(SolEvent&& event)
{
    const SolEvent taken(std::move(event));
    standin::AppendReportRecord("{\"call\":\"Report\",\"id\":" + std::to_string(taken.Id()) +
                                ",\"json\":" + standin::JsonString(taken.Json()) + "}");
}
