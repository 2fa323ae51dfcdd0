/* Controllers on this network: a search lists every controller that answers, once per address. */
(function () {
  'use strict';
  function $(id) { return document.getElementById(id); }
  function note(text) { if (window.kivanoApp) window.kivanoApp.note(text); }

  var found = {};  // address -> name
  var searching = false;

  function state(text, ready) {
    var el = $('disc-state');
    el.textContent = text;
    el.className = 'state' + (ready ? ' ready' : '');
  }

  function show() {
    var list = $('disc-list');
    list.textContent = '';
    Object.keys(found).sort().forEach(function (address) {
      var li = document.createElement('li');
      li.dataset.address = address;
      var label = document.createElement('span');
      label.textContent = found[address] + ' — ' + address;
      var use = document.createElement('button');
      use.type = 'button';
      use.textContent = 'Use';
      use.title = 'Take this address as the controller\'s local address';
      use.addEventListener('click', function () {
        var local = $('hs-local');
        if (local) local.value = address;
        note('local address ' + address);
      });
      li.appendChild(label);
      li.appendChild(use);
      list.appendChild(li);
    });
  }

  function count() { return Object.keys(found).length; }

  function start() {
    found = {};
    show();
    searching = true;
    state('searching…', false);
    $('disc-start').disabled = true;
    $('disc-stop').disabled = false;
    webhost.exec(function (message) {
      if (message && typeof message === 'object') {
        // One hit: {address: name}.
        Object.keys(message).forEach(function (address) {
          if (!(address in found)) note('found ' + message[address] + ' at ' + address);
          found[address] = String(message[address]);
        });
        show();
        state('searching… ' + count() + ' found', false);
      } else {
        finished();
      }
    }, function (e) {
      finished();
      state('search failed: ' + e, false);
    }, 'HSFinder', 'startFinder', []);
  }

  function finished() {
    searching = false;
    $('disc-start').disabled = false;
    $('disc-stop').disabled = true;
    state(count() ? count() + ' found' : 'none found', count() > 0);
  }

  function stop() {
    webhost.exec(function () { if (searching) finished(); }, null, 'HSFinder', 'stopFinder', []);
  }

  window.kivanoDiscovery = { start: start, stop: stop, found: function () { return found; } };

  document.addEventListener('deviceready', function () {
    $('disc-start').addEventListener('click', start);
    $('disc-stop').addEventListener('click', stop);
    $('disc-stop').disabled = true;
  });
})();
