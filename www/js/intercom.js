/* Intercom: one SIP call at a time, its state, mute, levels and hang-up. */
(function () {
  'use strict';
  function note(text) { if (window.kivanoApp) window.kivanoApp.note(text); }
  function $(id) { return document.getElementById(id); }

  var inCall = false;

  function describe(r) {
    if (!r || typeof r !== 'object') return String(r);
    var text = r.stateString + ' (' + r.code + (r.codeString ? ' ' + r.codeString : '') + ')';
    if (r.codecName) text += ', ' + r.codecName;
    return text;
  }

  function setInCall(on) {
    inCall = on;
    $('ic-call').disabled = on;
    ['ic-hangup', 'ic-mute', 'ic-mic', 'ic-speaker'].forEach(function (id) { $(id).disabled = !on; });
    if (!on) $('ic-mute').checked = false;
  }

  function showState(r, ended) {
    var state = $('ic-state');
    state.textContent = describe(r);
    state.className = 'state' + (r && r.state === 5 && !ended ? ' ready' : '');
  }

  function configuration() {
    var settings = { sipPort: parseInt($('ic-port').value, 10) || 5060, altPorts: [5062, 5064, 5066] };
    if ($('ic-pass').value) settings.kvIntercomPass = $('ic-pass').value;
    if ($('ic-user').value.trim()) settings.srcUser = $('ic-user').value.trim();
    if ($('ic-host').value.trim()) settings.srcHost = $('ic-host').value.trim();
    return JSON.stringify({ target: $('ic-target').value.trim(), settings: settings });
  }

  function sendLevels() {
    if (!inCall) return;
    webhost.exec(null, function (e) { note('levels failed: ' + e); }, 'SIP', 'setLevels',
      [parseFloat($('ic-mic').value), parseFloat($('ic-speaker').value)]);
  }

  document.addEventListener('deviceready', function () {
    webhost.exec(null, null, 'SIP', 'initSipManager', []);

    $('ic-call').addEventListener('click', function () {
      if (!$('ic-target').value.trim()) { $('ic-state').textContent = 'enter a SIP address'; return; }
      setInCall(true);
      $('ic-state').textContent = 'calling…';
      webhost.exec(function (r) {
        // Call states while the call runs; the hang-up answer ends it.
        var ended = r && r.state === 6;
        showState(r, ended);
        if (ended) { setInCall(false); note('call ended: ' + describe(r)); }
      }, function (r) {
        showState(r, true);
        setInCall(false);
        note('call ended: ' + describe(r));
      }, 'SIP', 'makeCall', [configuration()]);
    });

    $('ic-hangup').addEventListener('click', function () {
      webhost.exec(null, null, 'SIP', 'hangUp', []);
    });

    $('ic-mute').addEventListener('change', function () {
      var mute = $('ic-mute').checked;
      webhost.exec(function () { note('microphone ' + (mute ? 'muted' : 'on')); },
        function (e) { note('mute failed: ' + e); }, 'SIP', 'muteMic', [mute]);
    });
    $('ic-mic').addEventListener('change', sendLevels);
    $('ic-speaker').addEventListener('change', sendLevels);
  });
})();
