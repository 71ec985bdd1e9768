#pragma once
// The main dialog's start-up and shut-down as the application drives them. A small life cycle
// of its own until the station's main dialog logic is in place: it refuses a second instance,
// shows every slot idle, runs the percentage and splash timers and shows the window maximised.
namespace station {

class MainDialog {
 public:
  // False when another station instance holds one of the named mutexes; nothing else is set
  // up then.
  bool OnInitDialog();
  // Stops what the start-up began; safe to run twice and after a start-up that stopped early.
  void OnDestroy();

 private:
  bool started_ = false;
  bool destroyed_ = false;
};

}  // namespace station
