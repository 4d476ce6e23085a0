#pragma once

// What changed in the settings window's state, as its views are told after
// every change; several at once are or-ed together.

namespace telvane {

using StateChanges = unsigned;

namespace change {
inline constexpr StateChanges kConfig = 1u << 0;  // the working configuration or the protocol selection
inline constexpr StateChanges kMessages = 1u << 1;
inline constexpr StateChanges kDisplayItems = 1u << 2;
inline constexpr StateChanges kDiscoveredTopics = 1u << 3;  // the stored set the picker compares its snapshot with
inline constexpr StateChanges kTopicTree = 1u << 4;         // the picker's snapshot and its tree
inline constexpr StateChanges kTopicPickerShown = 1u << 5;
inline constexpr StateChanges kNewTopicText = 1u << 6;        // the picker's manual field
inline constexpr StateChanges kDisplayItemsEditor = 1u << 7;  // its chosen topic or typed labels
inline constexpr StateChanges kBrokerSearchShown = 1u << 8;
}  // namespace change

}  // namespace telvane
