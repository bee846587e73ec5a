<?php
// WebSocket application "wsrelay": starts a child process of its own
// ("createprocess": ws/upper.php) and relays lines both ways. A text goes to
// the child as a "childp" item; the child's answer line comes back on
// standard input and goes to the browser. "stop" ends the child ("cquit"
// follows); the next text starts a new one.

require_once __DIR__ . '/../lib/vexaws.php';

return function (VexaRequest $req, VexaReply $reply): void {
    if (!VexaWsApp::isWebSocket($req)) {
        VexaWsApp::notAPage($reply, 'wsrelay');
        return;
    }
    $app = new VexaWsApp($req);
    $running = false;
    $startChild = function () use ($app): void {
        $app->send(VexaWsApp::ipc([['aname' => 'createprocess', 'data' => [
            'exepath' => PHP_BINARY, 'childid' => 'upper',
            'param' => ['-f', dirname(__DIR__) . '/ws/upper.php'],
        ]]]));
    };
    $onMessage = function (array $message) use ($app, $startChild, &$running): bool {
        $text = (string) ($message['bdata']['text'] ?? '');
        if ($text === '') {
            return true;
        }
        if (!$running) {
            $startChild();
        }
        $app->send(VexaWsApp::child(['text' => $text]));
        return true;
    };
    $startChild();
    $first = (string) ($app->first['bdata']['text'] ?? '');
    if ($first !== '') {
        $app->send(VexaWsApp::child(['text' => $first]));
    }
    $app->run(
        $onMessage,
        function (array $event) use ($app, &$running): bool {
            if ($event['evt'] === 'onprocesscreate' || $event['evt'] === 'cquit') {
                $running = $event['evt'] === 'onprocesscreate';
                $app->send(VexaWsApp::web(['app' => 'wsrelay', 'event' => $event['evt'],
                                            'childid' => $event['evtp'] ?? '']));
            }
            return $event['evt'] !== 'quit';
        },
        function (string $line) use ($app): bool {
            $app->send(VexaWsApp::web(['app' => 'wsrelay', 'child' => $line]));
            return true;
        }
    );
};
