#pragma once
// WidgetFreshness: how current a status snapshot is at a given moment.
namespace pyrelle {

enum class WidgetFreshness { recent, previous, paused, unavailable };

}  // namespace pyrelle
