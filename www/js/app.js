/* The bundled web application: shows the bridge's state and calls the plug-ins. */
(function () {
  'use strict';
  var log = document.getElementById('event-log');
  function note(text) {
    var li = document.createElement('li');
    li.textContent = new Date().toLocaleTimeString() + ' ' + text;
    log.insertBefore(li, log.firstChild);
  }
  window.kivanoApp = { note: note };

  ['pause', 'resume', 'active', 'resign'].forEach(function (name) {
    document.addEventListener(name, function () { note('event: ' + name); });
  });

  document.addEventListener('deviceready', function () {
    var s = document.getElementById('bridge-state');
    s.textContent = 'native side ready';
    s.className = 'state ready';
    note('deviceready');
  });

  window.handleOpenURL = function (url) { note('open URL: ' + url); };

  document.getElementById('log-send').addEventListener('click', function () {
    webhost.exec(null, null, 'Logger', 'logLevel', ['INFO', document.getElementById('log-text').value]);
    note('logged');
  });
})();
