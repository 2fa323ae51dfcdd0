/* Camera view: streams a camera's pictures through the native proxy into an <img>. */
(function () {
  'use strict';
  function note(text) { if (window.kivanoApp) window.kivanoApp.note(text); }
  function $(id) { return document.getElementById(id); }

  var running = false, frames = 0;

  function state(text) { $('cam-state').textContent = text; }

  function describe(report) {
    try {
      var e = typeof report === 'string' ? JSON.parse(report) : report;
      if (e && e.errorId) return e.errorId + ' ' + e.errorCode + (e.errorText ? ' – ' + e.errorText : '');
    } catch (ignored) { /* not a report */ }
    return String(report);
  }

  function onFrame(value) {
    if (typeof value === 'string' && value.length) {
      frames += 1;
      $('cam-image').src = 'data:image/jpeg;base64,' + value;
      state('streaming – ' + frames + ' frames');
      webhost.exec(null, null, 'VideoProxy', 'imageProcessed', []);
    } else if (value === true) {
      running = false;
      state('stopped after ' + frames + ' frames');
    } else {
      state('the camera ended its answer after ' + frames + ' frames');
    }
  }

  function onError(report) {
    running = false;
    state('error: ' + describe(report));
    note('camera failed: ' + describe(report));
  }

  document.addEventListener('deviceready', function () {
    $('cam-start').addEventListener('click', function () {
      var url = $('cam-url').value.trim();
      if (!url) { state('enter a camera URL'); return; }
      frames = 0;
      running = true;
      state('connecting…');
      webhost.exec(onFrame, onError, 'VideoProxy', 'startStream',
        [url, $('cam-user').value, $('cam-password').value, $('cam-mjpeg').checked]);
    });
    $('cam-stop').addEventListener('click', function () {
      var wasRunning = running;  // a running stream reports its own end
      webhost.exec(function () { if (!wasRunning) state('stopped'); }, onError, 'VideoProxy', 'stopStream', []);
    });
  });
})();
