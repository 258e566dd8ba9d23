#include "platform/window_list.h"

namespace kelvarix {

void WindowList::AddLine(std::string line) {
    if (echo_ != nullptr && echo_writer_ != nullptr) {
        echo_writer_->WriteToStream(echo_, line + '\n');
    } else if (echo_ != nullptr) {
        std::fwrite(line.data(), 1, line.size(), echo_);
        std::fputc('\n', echo_);
        std::fflush(echo_);
    }
    lines_.push_back(std::move(line));
    while (lines_.size() > kMaxLines) lines_.pop_front();
    if (observer_) observer_();
}

void WindowList::Clear() {
    lines_.clear();
    if (observer_) observer_();
}

}  // namespace kelvarix
