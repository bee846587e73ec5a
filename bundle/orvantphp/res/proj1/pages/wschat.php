<?php
// WebSocket application "wschat": the first connection starts it and it
// makes itself global at once ("setglobal"); every other connection that
// sends "wschat" joins that one process. Each text goes to every member with
// "sendall" (type 1, the global application's members).

require_once __DIR__ . '/../lib/vexaws.php';

return function (VexaRequest $req, VexaReply $reply): void {
    if (!VexaWsApp::isWebSocket($req)) {
        VexaWsApp::notAPage($reply, 'wschat');
        return;
    }
    $app = new VexaWsApp($req);
    $broadcast = function (array $data) use ($app): void {
        $raw = json_encode(['app' => 'wschat'] + $data, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE);
        $app->send(VexaWsApp::ipc([VexaWsApp::sendall(1, 'wschat', 0, $raw)]));
    };
    $from = function (array $message): string {
        return (string) ($message['bdata']['wcon']['conid'] ?? '');
    };
    $app->send(VexaWsApp::ipc([['aname' => 'setglobal', 'data' => new stdClass()]]));
    $broadcast(['event' => 'joined', 'from' => $from($app->first)]);
    $first = (string) ($app->first['bdata']['text'] ?? '');
    if ($first !== '') {
        $broadcast(['text' => $first, 'from' => $from($app->first)]);
    }
    $app->run(
        function (array $message) use ($broadcast, $from): bool {
            $who = $from($message);
            if (($message['bdata']['wconn'] ?? '') === 'n') {
                $broadcast(['event' => 'joined', 'from' => $who]);
            }
            $text = (string) ($message['bdata']['text'] ?? '');
            if ($text !== '') {
                $broadcast(['text' => $text, 'from' => $who]);
            }
            return true;
        },
        function (array $event) use ($broadcast): bool {
            if ($event['evt'] === 'wsdiscon') {
                $broadcast(['event' => 'left', 'from' => (string) ($event['bdata']['wcon']['conid'] ?? '')]);
            }
            return $event['evt'] !== 'quit';
        }
    );
};
