/* This computer: device information, the connection type as it changes, and a few dates,
   numbers and currencies in the user's locale. */
(function () {
  'use strict';
  function $(id) { return document.getElementById(id); }
  function note(text) { if (window.kivanoApp) window.kivanoApp.note(text); }
  function call(service, action, args) {
    return new Promise(function (resolve, reject) { webhost.exec(resolve, reject, service, action, args || []); });
  }
  function describeError(e) { return e && typeof e === 'object' ? e.message + ' (' + e.code + ')' : String(e); }

  function row(table, label, value) {
    var tr = document.createElement('tr');
    var th = document.createElement('th');
    var td = document.createElement('td');
    th.textContent = label;
    td.textContent = value;
    tr.appendChild(th);
    tr.appendChild(td);
    table.appendChild(tr);
    return td;
  }

  function showDevice() {
    var table = $('device-info');
    call('Device', 'getDeviceInfo').then(function (info) {
      table.textContent = '';
      [['manufacturer', 'Manufacturer'], ['model', 'Model'], ['platform', 'System'], ['version', 'Version'],
       ['serial', 'Serial number'], ['appname', 'Application'], ['appversion', 'Application version'],
       ['webhost', 'Web host'], ['uuid', 'Installation']].forEach(function (k) {
        if (info[k[0]] !== undefined) row(table, k[1], info[k[0]]);
      });
    }, function (e) { table.textContent = 'unavailable: ' + describeError(e); });
  }

  function followConnection() {
    // The callback stays open: every change of type arrives here.
    webhost.exec(function (type) {
      var el = $('connection-type');
      el.textContent = type;
      el.className = 'state' + (type === 'none' ? '' : ' ready');
      note('connection: ' + type);
    }, function (e) { $('connection-type').textContent = 'unknown'; }, 'NetworkStatus', 'getConnectionInfo', []);
  }

  function showFormats() {
    var table = $('locale-formats');
    table.textContent = '';
    var now = Date.now();
    function add(label, promise) {
      var cell = row(table, label, '…');
      promise.then(function (r) { cell.textContent = r.value !== undefined ? r.value : r.pattern; },
                   function (e) { cell.textContent = describeError(e); });
    }
    add('Locale', call('Globalization', 'getLocaleName'));
    add('Language', call('Globalization', 'getPreferredLanguage'));
    add('Short date and time', call('Globalization', 'dateToString', [{ date: now }]));
    add('Long date', call('Globalization', 'dateToString',
                          [{ date: now, options: { selector: 'date', formatLength: 'long' } }]));
    add('Full time', call('Globalization', 'dateToString',
                          [{ date: now, options: { selector: 'time', formatLength: 'full' } }]));
    add('Number', call('Globalization', 'numberToString', [{ number: 1234567.891 }]));
    add('Percent', call('Globalization', 'numberToString', [{ number: 0.256, options: { type: 'percent' } }]));
    add('Amount', call('Globalization', 'numberToString', [{ number: 1234.5, options: { type: 'currency' } }]));
    ['EUR', 'USD', 'JPY'].forEach(function (code) {
      add(code + ' pattern', call('Globalization', 'getCurrencyPattern', [{ currencyCode: code }]));
    });
    call('Globalization', 'getDateNames', [{ options: { item: 'days', type: 'narrow' } }]).then(function (r) {
      row(table, 'Weekdays', r.value.join(' '));
    });
  }

  document.addEventListener('deviceready', function () {
    showDevice();
    followConnection();
    showFormats();
    $('device-refresh').addEventListener('click', function () { showDevice(); showFormats(); });
  });
})();
