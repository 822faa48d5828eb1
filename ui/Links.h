#pragma once
// Web addresses the window links to.

namespace crw::links {

inline constexpr const char* kDemoVideo = "https://crewfinder.example/demo";
inline constexpr const char* kFeedbackForm = "https://crewfinder.example/feedback";
inline constexpr const char* kMakerSocial = "https://crewfinder.example/maker/social";
inline constexpr const char* kMakerVideos = "https://crewfinder.example/maker/videos";
inline constexpr const char* kCatalogue = "https://crewfinder.example/catalogue";

} // namespace crw::links
