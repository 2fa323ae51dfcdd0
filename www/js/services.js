/* Desktop services: tray icon, start at login, saving a file, opening a URL, the address. */
(function () {
  'use strict';
  function note(text) { if (window.kivanoApp) window.kivanoApp.note(text); }
  function $(id) { return document.getElementById(id); }
  function failed(what) { return function (e) { note(what + ' failed: ' + (e === undefined ? '' : e)); }; }

  document.addEventListener('deviceready', function () {
    var tray = $('svc-tray'), login = $('svc-login');
    webhost.exec(function (v) { tray.checked = !!v; }, failed('tray state'), 'ApplicationManager', 'isVisibleInStatusBar', []);
    webhost.exec(function (v) { login.checked = !!v; }, failed('login state'), 'ApplicationManager', 'doesAppStartWithSystem', []);

    tray.addEventListener('change', function () {
      var want = tray.checked;
      webhost.exec(function () { note('tray icon ' + (want ? 'shown' : 'hidden')); },
        function (e) { tray.checked = !want; failed('tray icon')(e); }, 'ApplicationManager', 'showStatusBarIcon', [want]);
    });
    login.addEventListener('change', function () {
      var want = login.checked;
      webhost.exec(function () { note('start at login ' + (want ? 'on' : 'off')); },
        function (e) { login.checked = !want; failed('start at login')(e); }, 'ApplicationManager', 'setAsStartupApp', [want]);
    });

    $('svc-save').addEventListener('click', function () {
      var name = $('svc-file-name').value, text = $('svc-file-text').value;
      webhost.exec(function () { note('saved ' + name); }, failed('save'), 'StorageManager', 'saveFile', [name, text]);
    });
    $('svc-open').addEventListener('click', function () {
      var url = $('svc-url').value;
      webhost.exec(function () { note('opened ' + url); }, failed('open ' + url), 'AppLink', 'openAppWithURL', [url]);
    });
    $('svc-ip').addEventListener('click', function () {
      webhost.exec(function (ip) { $('svc-ip-text').textContent = ip; }, function () { $('svc-ip-text').textContent = 'no address'; },
        'NetworkInterface', 'getIP', []);
    });
  });
})();
